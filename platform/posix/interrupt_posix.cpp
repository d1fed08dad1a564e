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

// Every signal whose default action ends the process and that a program
// can catch, less SIGPIPE and SIGXFSZ (ignored, so that the writes fail
// instead) and the faults a program's own instruction raises (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE: the state they come from cannot be trusted);
// the real-time signals are added at run time.
constexpr int kInterruptions[] = {
    SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGALRM, SIGVTALRM, SIGPROF,
    SIGUSR1,   SIGUSR2, SIGXCPU, SIGSYS,  SIGTRAP, SIGABRT,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
#ifdef SIGLOST
    SIGLOST,
#endif
};

// What the handler puts right. Changed only while the interruptions are
// held back (CPartialFile's members, the key wait's arming and disarming),
// so the handler never sees it half made.
volatile sig_atomic_t g_fileArmed = 0;
int g_fileFolder = -1;             // the folder it was made in
const char* g_fileName = nullptr;  // its name there
dev_t g_fileDevice = 0;
ino_t g_fileInode = 0;
volatile sig_atomic_t g_terminalArmed = 0;
int g_terminalFd = -1;
termios g_terminal;  // the settings before the key wait
termios g_raw;       // the key wait's own

// Calls act(signal) for every interruption.
template <class Act>
bool ForEachInterruption(Act act) {
  for (int signal : kInterruptions)
    if (!act(signal)) return false;
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
    if (!act(signal)) return false;
#endif
  return true;
}

sigset_t InterruptionSet() {
  sigset_t set;
  sigemptyset(&set);
  ForEachInterruption([&set](int signal) {
    sigaddset(&set, signal);
    return true;
  });
  // The stop and continue handlers change the terminal too.
  sigaddset(&set, SIGTSTP);
  sigaddset(&set, SIGCONT);
  return set;
}

// TRUE when this process's group has the terminal fd in the foreground:
// only then may it change the terminal's settings without being stopped.
bool InForeground(int fd) { return tcgetpgrp(fd) == getpgrp(); }

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

// Ctrl-Z: the terminal is left as the shell expects it while the process
// is stopped; the key wait takes its raw mode again when continued.
void OnStop(int signal) {
  const int savedErrno = errno;
  if (g_terminalArmed && InForeground(g_terminalFd)) tcsetattr(g_terminalFd, TCSANOW, &g_terminal);
  // Stopped by the signal's own default action, as without the handler.
  struct sigaction byDefault = {}, previous;
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(signal, &byDefault, &previous);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  raise(signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);  // stopped here until continued
  sigprocmask(SIG_BLOCK, &only, nullptr);
  sigaction(signal, &previous, nullptr);
  if (g_terminalArmed && InForeground(g_terminalFd)) tcsetattr(g_terminalFd, TCSANOW, &g_raw);
  errno = savedErrno;
}

// Continued after a stop that no handler saw (SIGSTOP, or a shell that
// reset the terminal meanwhile): the key wait needs its raw mode back.
void OnContinue(int) {
  const int savedErrno = errno;
  if (g_terminalArmed && InForeground(g_terminalFd)) tcsetattr(g_terminalFd, TCSANOW, &g_raw);
  errno = savedErrno;
}

// Installs handler for signal unless the signal was ignored at start-up.
bool Install(int signal, void (*handler)(int), const sigset_t& mask) {
  struct sigaction previous;
  if (sigaction(signal, nullptr, &previous) != 0) return false;
  if (previous.sa_handler == SIG_IGN) return true;
  struct sigaction action = {};
  action.sa_handler = handler;
  action.sa_mask = mask;
  // A stop and a continue do not end the program: the calls they cut in
  // go on.
  action.sa_flags = handler == OnInterrupt ? 0 : SA_RESTART;
  return sigaction(signal, &action, nullptr) == 0;
}

}  // namespace

BOOL AfxInstallInterruptHandlers() {
  const sigset_t mask = InterruptionSet();  // one interruption at a time
  const bool installed = ForEachInterruption([&mask](int signal) {
    if (Install(signal, OnInterrupt, mask)) return true;
      // A real-time signal an emulator keeps for itself cannot be had; no
      // one else can send it to this process either.
#if defined(SIGRTMIN)
    if (signal >= SIGRTMIN && errno == EINVAL) return true;
#endif
    return false;
  });
  if (!installed || !Install(SIGTSTP, OnStop, mask) || !Install(SIGCONT, OnContinue, mask))
    return FailWithErrno();
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
  CInterruptionsHeld held;
  const BOOL closed = m_file->Close();
  if (!closed) RemoveIfStillOurs(g_fileFolder, m_name->GetString(), g_fileDevice, g_fileInode);
  g_fileArmed = 0;
  m_file = nullptr;
  return closed;
}

void CPartialFile::Remove() {
  if (m_file == nullptr) return;
  CInterruptionsHeld held;
  m_file->Close();
  RemoveIfStillOurs(g_fileFolder, m_name->GetString(), g_fileDevice, g_fileInode);
  g_fileArmed = 0;
  m_file = nullptr;
}

void AfxArmTerminalRestore(int fd, const termios& settings, const termios& raw) {
  g_terminalFd = fd;
  g_terminal = settings;
  g_raw = raw;
  g_terminalArmed = 1;
}

void AfxDisarmTerminalRestore() { g_terminalArmed = 0; }
