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
  m_ended = false;
  AdviseSequential();
  return TRUE;
}

BOOL CBlockReader::Next(const unsigned char*& data, size_t& n) {
  data = nullptr;
  n = 0;
  if (!m_file.IsOpen()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (m_ended || (m_hasLength && m_offset >= m_length)) return TRUE;
  if (!m_buffer) {
    m_buffer = AfxAllocIOBuffer(kBlockSize);
    if (!m_buffer) return FALSE;
  }
  // Without a length, every read asks for a whole block until one gives
  // nothing; with one, nothing past it is read.
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

void CBlockReader::Close() {
  m_buffer.reset();
  m_file.Close();
  m_length = 0;
  m_offset = 0;
}
