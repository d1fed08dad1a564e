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

// The character at text[i] of a UTF-16 string (a lone surrogate stands for
// itself); i moves past it.
unsigned CodePointAt(const wchar_t* text, size_t length, size_t& i) {
  const unsigned unit = text[i++];
  if (unit >= 0xD800 && unit <= 0xDBFF && i < length && text[i] >= 0xDC00 && text[i] <= 0xDFFF)
    return 0x10000 + ((unit - 0xD800) << 10) + (text[i++] - 0xDC00);
  return unit;
}

}  // namespace

namespace win32 {

std::string NameOfWide(const wchar_t* text, size_t length) {
  std::string name;
  for (size_t i = 0; i < length;) {
    const unsigned c = CodePointAt(text, length, i);
    if (c < 0x80) {
      name += static_cast<char>(c);
    } else if (c < 0x800) {
      name += static_cast<char>(0xC0 | (c >> 6));
      name += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      name += static_cast<char>(0xE0 | (c >> 12));
      name += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      name += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      name += static_cast<char>(0xF0 | (c >> 18));
      name += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      name += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      name += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return name;
}

std::wstring WideOfName(const char* name) {
  std::wstring wide;
  const auto* at = reinterpret_cast<const unsigned char*>(name);
  while (*at != 0) {
    const unsigned lead = *at++;
    const int more = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (more < 0) return std::wstring();
    unsigned c = more == 0 ? lead : lead & (0x3F >> more);
    for (int k = 0; k < more; ++k) {
      if ((*at & 0xC0) != 0x80) return std::wstring();
      c = (c << 6) | (*at++ & 0x3F);
    }
    if (c >= 0x10000) {
      wide += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      wide += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      wide += static_cast<wchar_t>(c);
    }
  }
  return wide;
}

}  // namespace win32

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                              ULONG, PVOID, ULONG);
using StatusToErrorFunction = ULONG(NTAPI*)(NTSTATUS);

}  // namespace

namespace win32 {

bool FinalPathOf(HANDLE handle, std::wstring& path) {
  DWORD size = MAX_PATH;
  std::wstring text;
  for (int attempt = 0; attempt < 4; ++attempt) {
    text.assign(size, L'\0');
    const DWORD got = GetFinalPathNameByHandleW(handle, text.data(), size,
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (got == 0) return false;
    if (got < size) {
      text.resize(got);
      // The system answers in the long-path form: \\?\C:\dir or
      // \\?\UNC\server\share\dir.
      if (text.rfind(L"\\\\?\\UNC\\", 0) == 0)
        text = L"\\\\" + text.substr(8);
      else if (text.rfind(L"\\\\?\\", 0) == 0)
        text = text.substr(4);
      path = text;
      return true;
    }
    size = got + 1;
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return false;
}

// The same in the ANSI code page, as the narrow calls spell paths.
bool FinalPathOf(HANDLE handle, std::string& path) {
  std::wstring wide;
  if (!FinalPathOf(handle, wide)) return false;
  const int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  std::string text(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, text.data(), n, nullptr, nullptr) != n)
    return false;
  text.resize(static_cast<size_t>(n) - 1);
  path = text;
  return true;
}

bool LiesAt(HANDLE file, const std::wstring& folderFinalPath, const std::wstring& name) {
  std::wstring actual;
  if (!FinalPathOf(file, actual)) return false;
  std::wstring expected = folderFinalPath;
  if (expected.empty() || expected.back() != L'\\') expected += L'\\';
  expected += name;
  return CompareStringOrdinal(actual.c_str(), static_cast<int>(actual.size()), expected.c_str(),
                              static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL;
}

bool LiesAt(HANDLE file, const std::string& folderFinalPath, const char* name) {
  return LiesAt(file, Wide(folderFinalPath.c_str()), Wide(name));
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
  std::wstring wide = WideOfName(name);
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

namespace {

// The folder above the last name of path (separators trimmed, a drive root
// kept whole) and that name; "" for a root, which has no name.
void SplitLastName(const std::string& path, std::string& parent, std::string& last) {
  CString drive, dir, fname, ext;
  AfxSplitPath(CString(path), &drive, &dir, &fname, &ext);
  last = (fname + ext).str();
  std::string above = dir.str();
  while (above.size() > 1 && IsSeparator(above.back())) above.pop_back();
  if (!above.empty()) {
    parent = drive.str() + above;
    return;
  }
  // Without a folder part the name is looked for in the current folder,
  // drive and all: the levels MakeDirectoryTree makes of "E:name" lie at the
  // drive's root, not in the drive's current folder that the system would
  // open, so such a name is refused rather than another folder held.
  parent.assign(1, '.');
  last.insert(0, drive.str());
}

// Why the folder opened as handle for name may not be held: not a folder,
// a reparse point, or not lying in the folder above under its last name
// (Wine follows a host's symbolic link without showing a reparse point);
// 0 when it may.
DWORD RefusalOfHeld(HANDLE handle, const std::string& name) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return GetLastError();
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return CFolder::kLinkRefused;
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
  std::string parent, last;
  SplitLastName(name, parent, last);
  if (last.empty() || last == "." || last == "..") return 0;
  // Where the folder above leads (links there are followed) and where the
  // held folder lies must agree.
  HANDLE above =
      CreateFileA(parent.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  std::string parentFinal;
  const bool known = above != INVALID_HANDLE_VALUE && win32::FinalPathOf(above, parentFinal);
  if (above != INVALID_HANDLE_VALUE) CloseHandle(above);
  return known && win32::LiesAt(handle, parentFinal, last.c_str()) ? 0 : CFolder::kLinkRefused;
}

}  // namespace

BOOL CFolder::Open(LPCTSTR path) {
  Close();
  if (path == nullptr || path[0] == '\0') return FailWith(ERROR_INVALID_PARAMETER);
  // Trailing separators trimmed; a drive root keeps its separator.
  std::string name(path);
  while (name.size() > 1 && IsSeparator(name.back()) && !(name.size() == 3 && name[1] == ':'))
    name.pop_back();
  // Without FILE_SHARE_DELETE nobody may rename or remove the folder while
  // it is held.
  HANDLE handle =
      CreateFileA(name.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FALSE;
  const DWORD refusal = RefusalOfHeld(handle, name);
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
        names.Add(
            CString(win32::NameOfWide(entry->FileName, entry->FileNameLength / sizeof(wchar_t))));
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
  std::wstring folderPath;
  if (!GetFileInformationByHandle(file, &info)) {
    refusal = GetLastError();
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
    refusal = ERROR_ACCESS_DENIED;
  } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
             (!win32::FinalPathOf(Handle(m_handle), folderPath) ||
              !win32::LiesAt(file, folderPath, win32::WideOfName(name)))) {
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

CString CFolder::DisplayName(LPCTSTR name) {
  const std::wstring wide = win32::WideOfName(name);
  if (wide.empty()) return CString(name);
  CString shown;
  for (size_t i = 0; i < wide.size();) {
    const size_t from = i;
    const unsigned c = CodePointAt(wide.data(), wide.size(), i);
    char narrow[8];
    BOOL lost = FALSE;
    const int n =
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data() + from,
                            static_cast<int>(i - from), narrow, sizeof narrow, nullptr, &lost);
    if (n > 0 && !lost) {
      shown += CString(narrow, n);
    } else {
      CString escape;
      escape.Format(c > 0xFFFF ? "\\U%08x" : "\\u%04x", c);
      shown += escape;
    }
  }
  return shown;
}
