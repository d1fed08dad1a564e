// SPDX-License-Identifier: MIT
#include "platform/interrupt.h"

namespace {

// Held by the program while it makes or closes a file, and taken by the
// control handler for good: once the handler has it, the program can no
// longer finish the file the handler is removing.
SRWLOCK g_lock = SRWLOCK_INIT;
HANDLE g_file = INVALID_HANDLE_VALUE;  // the armed file's handle
// The console input mode at start-up, put back by the handler (the key wait
// changes it while it waits).
HANDLE g_consoleInput = nullptr;
DWORD g_consoleMode = 0;
bool g_consoleModeSaved = false;

// The file goes when its last handle is closed (at the latest as the
// process ends), whatever name it has by then.
BOOL MarkForDeletion(HANDLE file) {
  FILE_DISPOSITION_INFO info = {};
  info.DeleteFile = TRUE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info);
}

BOOL WINAPI OnConsoleControl(DWORD /*event*/) {
  AcquireSRWLockExclusive(&g_lock);
  if (g_file != INVALID_HANDLE_VALUE) MarkForDeletion(g_file);
  if (g_consoleModeSaved) SetConsoleMode(g_consoleInput, g_consoleMode);
  // Ended here, with the lock still held, as the system ends a program on
  // Ctrl-C; no exit handlers run on the main thread's half-done work.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

}  // namespace

BOOL AfxInstallInterruptHandlers() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
    g_consoleInput = input;
    g_consoleMode = mode;
    g_consoleModeSaved = true;
  }
  return SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

CInterruptionsHeld::CInterruptionsHeld() : m_saved{} { AcquireSRWLockExclusive(&g_lock); }

CInterruptionsHeld::~CInterruptionsHeld() { ReleaseSRWLockExclusive(&g_lock); }

CPartialFile::~CPartialFile() { Remove(); }

void CPartialFile::Arm(CFile& file, const CFolder& folder, const CString& name) {
  m_file = &file;
  m_folder = &folder;
  m_name = &name;
  g_file = reinterpret_cast<HANDLE>(file.GetNativeHandle());
}

BOOL CPartialFile::Keep() {
  if (m_file == nullptr) return TRUE;
  CInterruptionsHeld held;
  const BOOL closed = m_file->Close();
  // The handle is gone: the name is all that is left to remove it by.
  if (!closed) m_folder->DeleteFile(*m_name);
  g_file = INVALID_HANDLE_VALUE;
  m_file = nullptr;
  return closed;
}

void CPartialFile::Remove() {
  if (m_file == nullptr) return;
  CInterruptionsHeld held;
  const bool marked = MarkForDeletion(reinterpret_cast<HANDLE>(m_file->GetNativeHandle()));
  m_file->Close();
  if (!marked) m_folder->DeleteFile(*m_name);
  g_file = INVALID_HANDLE_VALUE;
  m_file = nullptr;
}
