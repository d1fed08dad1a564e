// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

CBlockReader::~CBlockReader() { Close(); }

BOOL CBlockReader::Open(LPCTSTR fileName) {
  Close();
  if (!m_file.Open(fileName, CFile::modeRead)) return FALSE;
  SetLastError(ERROR_SUCCESS);
  m_length = m_file.GetLength();
  if (m_length == 0 && GetLastError() != ERROR_SUCCESS) {
    const DWORD code = GetLastError();
    m_file.Close();
    SetLastError(code);
    return FALSE;
  }
  m_offset = 0;
  m_hasLength = m_length != 0;
  // Nothing to map by: read until a read gives nothing.
  m_reading = !m_hasLength;
  m_ended = false;
  return TRUE;
}

BOOL CBlockReader::Next(const unsigned char*& data, size_t& n) {
  data = nullptr;
  n = 0;
  if (!m_file.IsOpen()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (m_guarded && !CheckFault()) return FALSE;
  if (m_ended || (m_hasLength && m_offset >= m_length)) return TRUE;
  if (m_reading) return ReadBlock(data, n);
  if (m_window == nullptr || m_offset >= m_windowOffset + m_windowLength) {
    if (m_window != nullptr && !UnmapWindow(false)) return FALSE;
    if (!MapWindow()) {
      // From here on the file is read, from where the mapping stopped.
      m_reading = true;
      if (m_file.Seek(static_cast<LONGLONG>(m_offset), CFile::begin) < 0) return FALSE;
      return ReadBlock(data, n);
    }
  }
  const ULONGLONG left = m_windowOffset + m_windowLength - m_offset;
  n = static_cast<size_t>(left < kBlockSize ? left : kBlockSize);
  data = m_window + (m_offset - m_windowOffset);
  m_offset += n;
  return TRUE;
}

BOOL CBlockReader::ReadBlock(const unsigned char*& data, size_t& n) {
  if (!m_buffer) {
    m_buffer = AfxAllocIOBuffer(kBlockSize);
    if (!m_buffer) return FALSE;
  }
  const ULONGLONG left = m_hasLength ? m_length - m_offset : kBlockSize;
  const ULONGLONG want = left < kBlockSize ? left : kBlockSize;
  const LONGLONG got = m_file.Read(m_buffer.get(), want);
  if (got < 0) return FALSE;
  if (got == 0) {
    m_ended = true;  // the file became shorter: what there was is read
    return TRUE;
  }
  data = m_buffer.get();
  n = static_cast<size_t>(got);
  m_offset += static_cast<ULONGLONG>(got);
  return TRUE;
}

BOOL CBlockReader::Close() {
  BOOL ok = TRUE;
  if (m_window != nullptr || m_guarded) ok = UnmapWindow(true) ? TRUE : FALSE;
  m_buffer.reset();
  m_file.Close();
  m_length = 0;
  m_offset = 0;
  return ok;
}
