// SPDX-License-Identifier: MIT
#include "platform/afx.h"

#include <winioctl.h>

#include "platform/folder.h"
#include "platform/win32/win32_internal.h"

#include <algorithm>

namespace {

HANDLE Handle(INT_PTR handle) { return reinterpret_cast<HANDLE>(handle); }

BOOL FailWith(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// One ReadFile or WriteFile moves at most a DWORD of bytes; stay well below.
constexpr ULONGLONG kMaxTransfer = 1u << 30;

}  // namespace

CFile::~CFile() { Close(); }

bool CFile::IsOpen() const { return m_handle != -1; }

BOOL CFile::Open(LPCTSTR fileName, UINT openFlags, void* /*pError*/) {
  Close();
  if ((openFlags & modeCreate) != 0) return FailWith(ERROR_INVALID_PARAMETER);
  return OpenRelative(-1, fileName, openFlags);
}

BOOL CFile::OpenIn(const CFolder& folder, LPCTSTR fileName, UINT openFlags) {
  Close();
  if (!folder.IsOpen()) return FailWith(ERROR_INVALID_HANDLE);
  return OpenRelative(folder.GetNativeHandle(), fileName, openFlags);
}

namespace {

// The access rights for openFlags' access mode; 0 for none.
DWORD AccessOf(UINT openFlags) {
  switch (openFlags & 0x3) {
    case CFile::modeRead:
      return GENERIC_READ;
    case CFile::modeWrite:
      return GENERIC_WRITE;
    case CFile::modeReadWrite:
      return GENERIC_READ | GENERIC_WRITE;
    default:
      return 0;
  }
}

// Checks, on its handle, the old file name of folder that a create opened,
// and cuts it: only a plain, writable file of its own, lying where it was
// named, is cut. 0, or why it is refused.
DWORD CheckAndCut(HANDLE file, HANDLE folder, const char* name) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return GetLastError();
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
    return ERROR_CANT_RESOLVE_FILENAME;
  // Another name of the same file lies elsewhere: cutting it would change
  // that file too.
  if (info.nNumberOfLinks > 1) return ERROR_TOO_MANY_LINKS;
  // Checked here as well: the system leaves it to the caller's rights, and
  // root under Wine has them.
  if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) return ERROR_ACCESS_DENIED;
  // Wine follows a host's symbolic link without showing a reparse point:
  // the file opened must lie where it was named.
  std::string holder;
  if (!win32::FinalPathOf(folder, holder) || !win32::LiesAt(file, holder, name))
    return ERROR_CANT_RESOLVE_FILENAME;
  return SetEndOfFile(file) ? 0 : GetLastError();
}

}  // namespace

BOOL CFile::OpenRelative(INT_PTR folder, LPCTSTR fileName, UINT openFlags) {
  Close();
  DWORD access = AccessOf(openFlags);
  const bool reading = (openFlags & 0x3) == modeRead;
  const bool create = (openFlags & modeCreate) != 0;
  if (fileName == nullptr || access == 0 || (create && reading))
    return FailWith(ERROR_INVALID_PARAMETER);
  // A file being made may have to be removed through its handle when the
  // run is interrupted (platform/interrupt.h).
  if (create) access |= DELETE;
  // A file being read may stay open for others (a dump still being written,
  // a mounted disk); a file being written is ours alone until it is closed.
  const DWORD share = reading ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
  const HANDLE within = Handle(folder);
  // A new file is made exclusively, so that an old one is always known as
  // old, and is cut only after CheckAndCut. Without
  // FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all.
  HANDLE handle = folder == -1 ? CreateFileA(fileName, access, share, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr)
                               : win32::OpenInFolder(within, fileName, access, share,
                                                     create ? FILE_CREATE : FILE_OPEN);
  bool existed = !create;
  if (handle == INVALID_HANDLE_VALUE && create &&
      (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)) {
    existed = true;
    handle = win32::OpenInFolder(within, fileName, access, share, FILE_OPEN);
  }
  if (handle == INVALID_HANDLE_VALUE) return FALSE;
  // Consoles, pipes and other character devices have no length to scan by;
  // files and disks (\\.\PhysicalDriveN) do.
  const DWORD refusal = GetFileType(handle) != FILE_TYPE_DISK ? ERROR_INVALID_PARAMETER
                        : create && existed ? CheckAndCut(handle, within, fileName)
                                            : 0;
  if (refusal != 0) {
    CloseHandle(handle);
    return FailWith(refusal);
  }
  m_handle = reinterpret_cast<INT_PTR>(handle);
  return TRUE;
}

LONGLONG CFile::Read(void* buffer, ULONGLONG count) {
  if (!IsOpen() || (buffer == nullptr && count > 0)) {
    FailWith(IsOpen() ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return -1;
  }
  char* out = static_cast<char*>(buffer);
  ULONGLONG done = 0;
  while (done < count) {
    const DWORD want = static_cast<DWORD>(std::min(count - done, kMaxTransfer));
    DWORD got = 0;
    if (!ReadFile(Handle(m_handle), out + done, want, &got, nullptr)) {
      // A disk read past the device's last sector ends like a file's end.
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<LONGLONG>(done);
}

BOOL CFile::Write(const void* buffer, ULONGLONG count) {
  if (!IsOpen()) return FailWith(ERROR_INVALID_HANDLE);
  if (buffer == nullptr && count > 0) return FailWith(ERROR_INVALID_PARAMETER);
  const char* in = static_cast<const char*>(buffer);
  ULONGLONG done = 0;
  while (done < count) {
    const DWORD want = static_cast<DWORD>(std::min(count - done, kMaxTransfer));
    DWORD put = 0;
    if (!WriteFile(Handle(m_handle), in + done, want, &put, nullptr)) return FALSE;
    if (put == 0) return FailWith(ERROR_WRITE_FAULT);
    done += put;
  }
  return TRUE;
}

LONGLONG CFile::Seek(LONGLONG offset, UINT from) {
  if (!IsOpen()) {
    FailWith(ERROR_INVALID_HANDLE);
    return -1;
  }
  DWORD method;
  switch (from) {
    case begin:
      method = FILE_BEGIN;
      break;
    case current:
      method = FILE_CURRENT;
      break;
    case end:
      method = FILE_END;
      break;
    default:
      FailWith(ERROR_INVALID_PARAMETER);
      return -1;
  }
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  if (!SetFilePointerEx(Handle(m_handle), distance, &position, method)) return -1;
  return position.QuadPart;
}

ULONGLONG CFile::GetLength() const {
  if (!IsOpen()) {
    FailWith(ERROR_INVALID_HANDLE);
    return 0;
  }
  LARGE_INTEGER size;
  if (GetFileSizeEx(Handle(m_handle), &size)) return static_cast<ULONGLONG>(size.QuadPart);
  // A disk has no file size; the disk driver knows its length.
  GET_LENGTH_INFORMATION info;
  DWORD returned = 0;
  if (DeviceIoControl(Handle(m_handle), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info,
                      &returned, nullptr))
    return static_cast<ULONGLONG>(info.Length.QuadPart);
  return 0;
}

BOOL CFile::Close() {
  if (!IsOpen()) return TRUE;
  HANDLE handle = Handle(m_handle);
  m_handle = -1;
  return CloseHandle(handle) ? TRUE : FALSE;
}
