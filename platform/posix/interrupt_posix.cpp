// SPDX-License-Identifier: MIT
#include "platform/interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "platform/posix/posix_internal.h"

namespace {

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// What the handler puts right. Changed only while the interruptions are
// held back, so the handler never sees it half made.
volatile sig_atomic_t g_fileArmed = 0;
int g_fileFolder = -1;             // the folder it was made in
const char* g_fileName = nullptr;  // its name there
dev_t g_fileDevice = 0;
ino_t g_fileInode = 0;
volatile sig_atomic_t g_terminalArmed = 0;
int g_terminalFd = -1;
termios g_terminal;

sigset_t InterruptionSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kInterruptions) sigaddset(&set, signal);
  return set;
}

// Removes name only while it still leads to the file made (not to one put
// in its place since). Async-signal-safe.
void RemoveIfStillOurs(int folder, const char* name, dev_t device, ino_t inode) {
  struct stat info;
  if (fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
      info.st_dev == device && info.st_ino == inode)
    unlinkat(folder, name, 0);
}

void OnInterrupt(int signal) {
  const int savedErrno = errno;
  if (g_fileArmed) RemoveIfStillOurs(g_fileFolder, g_fileName, g_fileDevice, g_fileInode);
  if (g_terminalArmed) tcsetattr(g_terminalFd, TCSANOW, &g_terminal);
  // Ended by the signal itself, as without the handler: the parent sees
  // which signal it was. It stays blocked until the handler returns.
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(signal, &byDefault, nullptr);
  raise(signal);
  errno = savedErrno;
}

}  // namespace

BOOL AfxInstallInterruptHandlers() {
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  action.sa_mask = InterruptionSet();  // one interruption at a time
  for (int signal : kInterruptions) {
    struct sigaction previous;
    if (sigaction(signal, nullptr, &previous) != 0) return FailWithErrno();
    if (previous.sa_handler == SIG_IGN) continue;
    if (sigaction(signal, &action, nullptr) != 0) return FailWithErrno();
  }
  return TRUE;
}

static_assert(sizeof(sigset_t) <= 128, "CInterruptionsHeld keeps the mask in 128 bytes");

CInterruptionsHeld::CInterruptionsHeld() {
  const sigset_t set = InterruptionSet();
  sigset_t saved;
  sigprocmask(SIG_BLOCK, &set, &saved);
  std::memcpy(m_saved, &saved, sizeof saved);
}

CInterruptionsHeld::~CInterruptionsHeld() {
  sigset_t saved;
  std::memcpy(&saved, m_saved, sizeof saved);
  sigprocmask(SIG_SETMASK, &saved, nullptr);
}

CPartialFile::~CPartialFile() { Remove(); }

void CPartialFile::Arm(CFile& file, const CFolder& folder, const CString& name) {
  struct stat info;
  // Without its identity the file cannot be told from one put in its
  // place: it is left rather than risk removing another.
  if (fstat(static_cast<int>(file.GetNativeHandle()), &info) != 0) return;
  m_file = &file;
  m_folder = &folder;
  m_name = &name;
  g_fileFolder = static_cast<int>(folder.GetNativeHandle());
  g_fileName = name.GetString();
  g_fileDevice = info.st_dev;
  g_fileInode = info.st_ino;
  g_fileArmed = 1;
}

BOOL CPartialFile::Keep() {
  if (m_file == nullptr) return TRUE;
  // Not held: the handler removes by name, so an interruption before the
  // disarming removes the closed file, which the caller has not counted as
  // finished yet.
  if (!m_file->Close()) {
    Remove();
    return FALSE;
  }
  g_fileArmed = 0;
  m_file = nullptr;
  return TRUE;
}

void CPartialFile::Remove() {
  if (m_file == nullptr) return;
  CInterruptionsHeld held;
  m_file->Close();
  RemoveIfStillOurs(g_fileFolder, m_name->GetString(), g_fileDevice, g_fileInode);
  g_fileArmed = 0;
  m_file = nullptr;
}

void AfxArmTerminalRestore(int fd, const termios& settings) {
  g_terminalFd = fd;
  g_terminal = settings;
  g_terminalArmed = 1;
}

void AfxDisarmTerminalRestore() { g_terminalArmed = 0; }
