// SPDX-License-Identifier: MIT
// Interruptions: what the program puts right when the user or the system
// stops it (POSIX: every signal a program can catch whose default action
// ends the process, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1,
// SIGXCPU, the real-time signals and the others, less SIGPIPE and SIGXFSZ,
// which are ignored, and the faults of the program's own instructions;
// Windows: Ctrl-C, Ctrl-Break, the console closed, log-off, shut-down). The
// file being written when it comes is removed, and the terminal settings
// that the key prompt changed are put back; then the process ends as the
// interruption ends it (POSIX: killed by the same signal; Windows: exit
// code STATUS_CONTROL_C_EXIT). Files finished before stay. On POSIX a stop
// (Ctrl-Z, SIGTSTP) during the key wait puts the terminal's settings back
// while the process is stopped, and the wait takes its raw mode again when
// the process continues in the foreground (also after SIGSTOP).
//
// What the handler acts on (the armed file, the terminal's settings) is
// changed only while interruptions are held back (CInterruptionsHeld):
// CPartialFile's Arm (by its caller), Keep and Remove, and on POSIX the key
// wait as it arms and disarms the terminal's restoring. An interruption
// therefore finds a file either armed, and removes it, or kept, and leaves
// it.
// POSIX: the handler does the work itself, with async-signal-safe calls
// only (fstatat, unlinkat, tcsetattr, sigaction, raise); so it acts at
// once, wherever the program is (in a long write, a read, the key wait).
// Windows: the console's control handler runs on a thread of its own; it
// takes the lock that holding interruptions back holds, marks the open
// file for deletion through its handle, puts the console mode back and
// ends the process without leaving the lock.
//
// Implemented per platform (platform/posix/, platform/win32/). One thread:
// at most one file is armed at a time.
#pragma once

#include "platform/afx.h"
#include "platform/folder.h"

// Installs the handlers; AfxWinInit calls it. On POSIX a signal that was
// ignored when the program started (nohup) stays ignored. FALSE, with
// GetLastError set, when a handler cannot be installed.
BOOL AfxInstallInterruptHandlers();

// Holds interruptions back while it lives: one that comes meanwhile takes
// effect when the object goes. For the steps that must not be cut in two,
// such as making a file and arming its removal. Not nested.
class CInterruptionsHeld {
 public:
  CInterruptionsHeld();
  ~CInterruptionsHeld();
  CInterruptionsHeld(const CInterruptionsHeld&) = delete;
  CInterruptionsHeld& operator=(const CInterruptionsHeld&) = delete;

 private:
  alignas(8) unsigned char m_saved[128];  // POSIX: the signal mask in place before
};

// A file this run has just made and is writing: removed when the process is
// interrupted, by Remove, or when the object goes while still armed (an
// exception unwinding the writer). Removal reaches only that file: on POSIX
// its name is removed only while it still leads to the file made (same
// device and inode), on Windows the open handle itself is marked for
// deletion (CFile's create opens with delete access).
class CPartialFile {
 public:
  CPartialFile() = default;
  ~CPartialFile();
  CPartialFile(const CPartialFile&) = delete;
  CPartialFile& operator=(const CPartialFile&) = delete;

  // Arms removal of file, open on the file just made as name in folder (as
  // passed to CFile::OpenIn). Call it while
  // interruptions are held, right after the file was made, so that no
  // interruption can fall between the two. Allocates nothing, so it cannot
  // fail half way; file, folder and name must outlive the arming.
  void Arm(CFile& file, const CFolder& folder, const CString& name);

  // The file is complete: closes it and disarms, with interruptions held
  // back, so that one coming meanwhile takes effect once the file is kept
  // and leaves it. FALSE when closing failed: the file is removed then, by
  // its name in the folder.
  BOOL Keep();

  // Closes the file and removes it; nothing once disarmed.
  void Remove();

 private:
  CFile* m_file = nullptr;
  const CFolder* m_folder = nullptr;
  const CString* m_name = nullptr;
};
