// SPDX-License-Identifier: MIT
#include "platform/folder.h"

#include <winternl.h>

#include <vector>

#include "platform/win32/win32_internal.h"

const DWORD CFolder::kLinkRefused = ERROR_CANT_RESOLVE_FILENAME;

namespace {

HANDLE Handle(INT_PTR handle) { return reinterpret_cast<HANDLE>(handle); }

BOOL FailWith(DWORD code) {
  SetLastError(code);
  return FALSE;
}

std::wstring Wide(const char* text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
  wide.resize(static_cast<size_t>(length - 1));
  return wide;
}

std::string Narrow(const wchar_t* text, size_t length) {
  const int size =
      WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), narrow.data(), size, nullptr,
                      nullptr);
  return narrow;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                              ULONG, PVOID, ULONG);
using StatusToErrorFunction = ULONG(NTAPI*)(NTSTATUS);

}  // namespace

namespace win32 {

bool FinalPathOf(HANDLE handle, std::string& path) {
  DWORD size = MAX_PATH;
  std::string text;
  for (int attempt = 0; attempt < 4; ++attempt) {
    text.assign(size, '\0');
    const DWORD got = GetFinalPathNameByHandleA(handle, text.data(), size,
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (got == 0) return false;
    if (got < size) {
      text.resize(got);
      // The system answers in the long-path form: \\?\C:\dir or
      // \\?\UNC\server\share\dir.
      if (text.rfind("\\\\?\\UNC\\", 0) == 0)
        text = "\\\\" + text.substr(8);
      else if (text.rfind("\\\\?\\", 0) == 0)
        text = text.substr(4);
      path = text;
      return true;
    }
    size = got + 1;
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return false;
}

bool LiesAt(HANDLE file, const std::string& folderFinalPath, const char* name) {
  std::string actual;
  if (!FinalPathOf(file, actual)) return false;
  std::string expected = folderFinalPath;
  if (expected.empty() || expected.back() != '\\') expected += '\\';
  expected += name;
  const std::wstring a = Wide(actual.c_str()), b = Wide(expected.c_str());
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

HANDLE OpenInFolder(HANDLE folder, const char* name, DWORD access, DWORD share, DWORD disposition) {
  static const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  static const auto create = reinterpret_cast<NtCreateFileFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtCreateFile")));
  static const auto toError = reinterpret_cast<StatusToErrorFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  if (create == nullptr || toError == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring wide = Wide(name);
  if (wide.empty() || wide.find_first_of(L"\\/") != std::wstring::npos) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING text;
  text.Buffer = wide.data();
  text.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE file = INVALID_HANDLE_VALUE;
  const NTSTATUS status = create(
      &file, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io, nullptr,
      FILE_ATTRIBUTE_NORMAL, share, disposition,
      FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status < 0) {
    SetLastError(toError(status));
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

}  // namespace win32

CFolder::~CFolder() { Close(); }

void CFolder::Close() {
  if (m_handle == -1) return;
  CloseHandle(Handle(m_handle));
  m_handle = -1;
}

BOOL CFolder::Open(LPCTSTR path) {
  Close();
  if (path == nullptr || path[0] == '\0') return FailWith(ERROR_INVALID_PARAMETER);
  // The last name and the folder above it, separators trimmed; a drive root
  // keeps its separator.
  std::string name(path);
  while (name.size() > 1 && IsSeparator(name.back()) && !(name.size() == 3 && name[1] == ':'))
    name.pop_back();
  size_t cut = name.size();
  while (cut > 0 && !IsSeparator(name[cut - 1])) --cut;
  const std::string last = name.substr(cut);
  size_t parentEnd = cut;
  while (parentEnd > 1 && IsSeparator(name[parentEnd - 1]) && !(parentEnd == 3 && name[1] == ':'))
    --parentEnd;
  const std::string parent = cut == 0 ? std::string(".") : name.substr(0, parentEnd);

  // Without FILE_SHARE_DELETE nobody may rename or remove the folder while
  // it is held.
  HANDLE handle =
      CreateFileA(name.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FALSE;
  BY_HANDLE_FILE_INFORMATION info;
  DWORD refusal = 0;
  std::string parentFinal;
  if (!GetFileInformationByHandle(handle, &info)) {
    refusal = GetLastError();
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    refusal = kLinkRefused;
  } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    refusal = ERROR_DIRECTORY;
  } else if (!last.empty() && last != "." && last != "..") {
    // Where the folder above leads (links there are followed) and where the
    // held folder lies must agree, or the last name led elsewhere: Wine
    // follows a host's symbolic link without showing a reparse point.
    HANDLE above =
        CreateFileA(parent.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool known = above != INVALID_HANDLE_VALUE && win32::FinalPathOf(above, parentFinal);
    if (above != INVALID_HANDLE_VALUE) CloseHandle(above);
    if (!known || !win32::LiesAt(handle, parentFinal, last.c_str())) refusal = kLinkRefused;
  }
  if (refusal != 0) {
    CloseHandle(handle);
    return FailWith(refusal);
  }
  m_handle = reinterpret_cast<INT_PTR>(handle);
  m_path = path;
  return TRUE;
}

BOOL CFolder::ListFiles(CStringArray& names) const {
  if (m_handle == -1) return FailWith(ERROR_INVALID_HANDLE);
  // DWORD-aligned, as the entries are.
  std::vector<DWORD> buffer(16384);
  FILE_INFO_BY_HANDLE_CLASS what = FileFullDirectoryRestartInfo;
  for (;;) {
    if (!GetFileInformationByHandleEx(Handle(m_handle), what, buffer.data(),
                                      static_cast<DWORD>(buffer.size() * sizeof(DWORD)))) {
      return GetLastError() == ERROR_NO_MORE_FILES ? TRUE : FALSE;
    }
    what = FileFullDirectoryInfo;
    const char* at = reinterpret_cast<const char*>(buffer.data());
    for (;;) {
      const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(at);
      // Also skips the entries for the folder itself and its parent.
      if (!(entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        names.Add(CString(Narrow(entry->FileName, entry->FileNameLength / sizeof(wchar_t))));
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
}

BOOL CFolder::DeleteFile(LPCTSTR name) const {
  if (m_handle == -1) return FailWith(ERROR_INVALID_HANDLE);
  HANDLE file =
      win32::OpenInFolder(Handle(m_handle), name, DELETE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN);
  if (file == INVALID_HANDLE_VALUE) return FALSE;
  BY_HANDLE_FILE_INFORMATION info;
  DWORD refusal = 0;
  // Where the folder lies now: under Wine it may have been renamed while
  // held.
  std::string folderPath;
  if (!GetFileInformationByHandle(file, &info)) {
    refusal = GetLastError();
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
    refusal = ERROR_ACCESS_DENIED;
  } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
             (!win32::FinalPathOf(Handle(m_handle), folderPath) ||
              !win32::LiesAt(file, folderPath, name))) {
    // Opened through a link Wine followed: deleting would remove the file
    // at its far end.
    refusal = kLinkRefused;
  } else {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition))
      refusal = GetLastError();
  }
  CloseHandle(file);
  return refusal == 0 ? TRUE : FailWith(refusal);
}
