// SPDX-License-Identifier: MIT
#include "platform/afx.h"

#include <winioctl.h>

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
  if (fileName == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  DWORD access;
  switch (openFlags & 0x3) {
    case modeRead:
      access = GENERIC_READ;
      break;
    case modeWrite:
      access = GENERIC_WRITE;
      break;
    case modeReadWrite:
      access = GENERIC_READ | GENERIC_WRITE;
      break;
    default:
      return FailWith(ERROR_INVALID_PARAMETER);
  }
  DWORD disposition = OPEN_EXISTING;
  if (openFlags & modeCreate) {
    if ((openFlags & 0x3) == modeRead) return FailWith(ERROR_INVALID_PARAMETER);
    disposition = CREATE_ALWAYS;
    // A file being made may have to be removed through its handle when the
    // run is interrupted (platform/interrupt.h).
    access |= DELETE;
  }
  // A file being read may stay open for others (a dump still being written,
  // a mounted disk); a file being written is ours alone until it is closed.
  const DWORD share = (openFlags & 0x3) == modeRead ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all.
  HANDLE handle =
      CreateFileA(fileName, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return FALSE;
  // Consoles, pipes and other character devices have no length to scan by;
  // files and disks (\\.\PhysicalDriveN) do.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return FailWith(ERROR_INVALID_PARAMETER);
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

ULONGLONG CFile::GetPosition() const {
  if (!IsOpen()) return 0;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  LARGE_INTEGER position;
  if (!SetFilePointerEx(Handle(m_handle), zero, &position, FILE_CURRENT)) return 0;
  return static_cast<ULONGLONG>(position.QuadPart);
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
