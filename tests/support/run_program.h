// SPDX-License-Identifier: MIT
// Runs a built program the way a test wants to watch it (POSIX): standard
// input from /dev/null or a file, or closed; its own folder and
// environment; a set-up step in the child before the program starts
// (resource limits, signal dispositions, dropped rights); and standard output
// and standard error captured apart, with the exit status or the signal that
// ended it. Output goes through unnamed temporary files, so nothing is left
// behind and no file of the test's own folder changes. StartProgram and
// FinishProgram run it in two steps, for a test that acts on the program
// while it runs (signals, changes to its files).
//
//   ProgramRun r = RunProgram({LUMVANE_BIN, "dump.bin"});
//   RunOptions o;
//   o.cwd = dir;
//   o.child_setup = [] { return setrlimit(RLIMIT_FSIZE, &limit) == 0; };
//   o.env = {{"KELB_MODULE_DIR", "/x"}};   // set; an empty optional unsets
//   o.timeout_seconds = 120;               // SIGALRM ends a program that hangs
//
// A test that needs an ordinary user runs the program as `nobody` by putting
// as_nobody::SetprivPrefix() (support/as_nobody.h) before its arguments.
#pragma once

#ifndef _WIN32

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

struct RunOptions {
  std::string cwd;           // empty: the test's own current folder
  bool close_stdin = false;  // standard input closed instead of opened
  std::string stdin_path = "/dev/null";
  // Environment changes over the test's own: a value sets the name, an empty
  // optional removes it.
  std::vector<std::pair<std::string, std::optional<std::string>>> env;
  // Runs in the child after its standard streams and folder are set, just
  // before the program starts; false ends the child with status 126.
  std::function<bool()> child_setup;
  unsigned timeout_seconds = 0;  // 0: none
};

struct ProgramRun {
  int status = -1;  // the exit status; -1 when a signal ended the program
  int signal = 0;   // the signal that ended it, or 0
  std::string out, err;
};

namespace run_program_detail {

inline std::string ReadBack(FILE *f) {
  std::string text;
  if (!f) return text;
  rewind(f);
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  return text;
}

}  // namespace run_program_detail

// A program started by StartProgram and not yet waited for.
struct RunningProgram {
  pid_t pid = -1;
  FILE *out = nullptr, *err = nullptr;  // its standard output and error so far
  std::string failure;                  // why it could not be started
};

// What the running program has written to its standard output so far.
inline std::string OutputSoFar(const RunningProgram &p) {
  std::string text = run_program_detail::ReadBack(p.out);
  fseek(p.out, 0, SEEK_END);
  return text;
}

// Starts argv[0] (a path; no search of PATH) with `argv` and returns at once;
// FinishProgram waits for it. A program that cannot be started ends with
// status 127; a child whose set-up fails with 126.
inline RunningProgram StartProgram(const std::vector<std::string> &argv,
                                   const RunOptions &options = {}) {
  RunningProgram p;
  p.out = tmpfile();
  p.err = tmpfile();
  const bool ready = !argv.empty() && p.out && p.err;
  const pid_t pid = ready ? fork() : -1;
  if (pid == 0) {
    const int in = options.close_stdin ? -1 : open(options.stdin_path.c_str(), O_RDONLY);
    if ((!options.close_stdin && (in < 0 || dup2(in, 0) < 0)) || dup2(fileno(p.out), 1) < 0 ||
        dup2(fileno(p.err), 2) < 0)
      _exit(126);
    for (int fd : {in, fileno(p.out), fileno(p.err)})
      if (fd > 2) close(fd);  // the program gets standard streams only
    if (options.close_stdin) close(0);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const auto &[name, value] : options.env)
      if ((value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str())) != 0)
        _exit(126);
    if (options.child_setup && !options.child_setup()) _exit(126);
    if (options.timeout_seconds) alarm(options.timeout_seconds);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  p.pid = pid;
  if (pid < 0)
    p.failure = argv.empty() ? "no program to run"
                             : "cannot run " + argv[0] +
                                   (ready ? ": fork failed" : ": no temporary file for its output");
  return p;
}

// Waits for a program from StartProgram and gives what it wrote and how it
// ended; when it could not be started, status stays -1 and `err` says why.
inline ProgramRun FinishProgram(RunningProgram &p) {
  ProgramRun r;
  if (p.pid > 0) {
    int ws = 0;
    while (waitpid(p.pid, &ws, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(ws))
      r.status = WEXITSTATUS(ws);
    else if (WIFSIGNALED(ws))
      r.signal = WTERMSIG(ws);
    r.out = run_program_detail::ReadBack(p.out);
    r.err = run_program_detail::ReadBack(p.err);
  } else {
    r.err = p.failure;
  }
  for (FILE *f : {p.out, p.err})
    if (f) fclose(f);
  p = RunningProgram();
  return r;
}

// Runs argv[0] with `argv`, waits for it and returns what it wrote and how
// it ended (StartProgram, then FinishProgram).
inline ProgramRun RunProgram(const std::vector<std::string> &argv, const RunOptions &options = {}) {
  RunningProgram p = StartProgram(argv, options);
  return FinishProgram(p);
}

#endif  // _WIN32
