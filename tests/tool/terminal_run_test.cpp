// SPDX-License-Identifier: MIT
// The lumvane binary run with standard output and error on a terminal: a
// pseudo-terminal read byte for byte, and a tmux pane whose finished screen
// is compared with the plain transcript. Standard input is /dev/null, so the
// key prompt returns at once.
#include "testdata/pngdraw.h"
#include "tests/support/file_bytes.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A run that never ends fails here instead of hanging the suite.
constexpr auto kGiveUpAfter = std::chrono::seconds(60);

// Runs lumvane on input in cwd; standard input from /dev/null unless
// keyFromTerminal (it is the terminal then).
[[noreturn]] void ExecLumvane(const fs::path& cwd, const std::string& input,
                              bool keyFromTerminal = false) {
  const int in = keyFromTerminal ? 0 : open("/dev/null", O_RDONLY);
  if (chdir(cwd.c_str()) != 0 || in < 0 || dup2(in, 0) < 0) _exit(126);
  execl(LUMVANE_BINARY, LUMVANE_BINARY, input.c_str(), static_cast<char*>(nullptr));
  _exit(127);
}

// Runs a shell command line; gives its exit status and standard output.
int Shell(const std::string& command, std::string* out = nullptr) {
  // A test run from inside tmux still starts a server of its own.
  FILE* pipe = popen(("unset TMUX; " + command).c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, got);
  const int wstatus = pclose(pipe);
  if (out) *out = text;
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

// The lines of a text as a screen shows them, less the empty lines at the
// bottom.
std::vector<std::string> ScreenLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
    lines.push_back(text.substr(from, nl - from));
  lines.push_back(text.substr(from));
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

class TerminalRun : public ::testing::Test {
 protected:
  void SetUp() override {
    // Three pictures, then zeros up to 3 MiB: a size the line spells out.
    pngdraw::Bytes input = pngdraw::MakeJunkWithPictures(11, 3, nullptr);
    ASSERT_LT(input.size(), kInputSize);
    input.resize(kInputSize, 0);
    ASSERT_TRUE(WriteFileBytes(m_dir.path() / "dump.bin", input));
  }

  // Standard output of a run with both streams in files, as the existing
  // transcripts are taken; standard error must stay empty.
  std::string PlainTranscript() {
    RunOptions options;
    options.cwd = m_dir.str();
    const ProgramRun r = RunProgram({LUMVANE_BINARY, "dump.bin"}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    return r.out;
  }

  // Every byte the run writes to a pseudo-terminal columns wide (standard
  // output and error both), as the terminal receives it.
  std::string PtyRun(unsigned short columns, const char* term = "xterm") {
    winsize size{};
    size.ws_row = 50;
    size.ws_col = columns;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) {
      ADD_FAILURE() << "forkpty failed";
      return {};
    }
    if (pid == 0) {
      setenv("TERM", term, 1);
      ExecLumvane(m_dir.path(), "dump.bin");
    }
    std::string raw;
    const auto deadline = std::chrono::steady_clock::now() + kGiveUpAfter;
    for (;;) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 200) < 0 && errno != EINTR) break;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the run did not end";
        kill(pid, SIGKILL);
        break;
      }
      if (p.revents == 0) continue;
      char chunk[4096];
      const ssize_t got = read(master, chunk, sizeof chunk);
      if (got <= 0) break;  // EIO: the program and its terminal are gone
      raw.append(chunk, static_cast<size_t>(got));
    }
    close(master);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << raw;
    return raw;
  }

  // The finished screen of a run in an 80-column tmux pane with TERM set to
  // term, history included and wrapped lines joined, less the empty lines
  // at the bottom; taken once its last line is lastLine, the program's last
  // text. The capture keeps the blanks the program wrote at a line's end,
  // and those only.
  std::vector<std::string> TmuxScreen(const std::string& term, const std::string& lastLine) {
    const std::string tmux = "tmux -S '" + m_dir.str() + "/tmux.sock' ";
    // The terminal stays open after the program ends: tmux can lose the
    // last output of a pane whose terminal closes.
    EXPECT_EQ(Shell(tmux + "-f /dev/null new-session -d -s run -x 80 -y 50 -c '" + m_dir.str() +
                    "' \"TERM=" + term + " '" LUMVANE_BINARY "' dump.bin </dev/null; sleep 600\""),
              0);

    std::vector<std::string> lines;
    std::string screen;
    const auto deadline = std::chrono::steady_clock::now() + kGiveUpAfter;
    for (;;) {
      EXPECT_EQ(Shell(tmux + "capture-pane -p -J -t run -S -", &screen), 0);
      lines = ScreenLines(screen);
      if (!lines.empty() && lines.back() == lastLine) break;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the run did not end:\n" << screen;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Shell(tmux + "kill-server");
    return lines;
  }

  static constexpr size_t kInputSize = 3 * 1024 * 1024;
  TempDir m_dir;
};

// One drawing of the line: a carriage return, the text, erase to the end.
const std::regex kDrawing("\r([^\r\n\x1b]*)\x1b\\[K");

TEST_F(TerminalRun, TheLineIsDrawnWhileReadingAndGoneBeforeTheNextText) {
  const std::string plain = PlainTranscript();
  const std::string raw = PtyRun(80);

  const size_t analyse = raw.find("Now Analyse this file");
  const size_t dumping = raw.find("\r\n Begin Dumping PNGs");
  ASSERT_NE(analyse, std::string::npos) << raw;
  ASSERT_NE(dumping, std::string::npos) << raw;
  ASSERT_LT(analyse, dumping);

  // Everything drawn lies between the two texts, and the last drawing is
  // the erasing one, right before the next text.
  std::vector<std::string> drawn;
  for (std::sregex_iterator it(raw.begin(), raw.end(), kDrawing), end; it != end; ++it) {
    EXPECT_GT(static_cast<size_t>(it->position()), analyse);
    EXPECT_LT(static_cast<size_t>(it->position()), dumping);
    drawn.push_back((*it)[1]);
  }
  ASSERT_GE(drawn.size(), 3u) << raw;
  EXPECT_EQ(drawn.front(), " 0 B of 3.0 MiB (0%), 0 images found");
  EXPECT_EQ(drawn.back(), "");
  EXPECT_EQ(raw.substr(dumping - 4, 4), "\r\x1b[K");
  // The one read of the input ends at 100%, with every image found.
  EXPECT_EQ(drawn[drawn.size() - 2], " 3.0 MiB of 3.0 MiB (100%), 3 images found") << raw;

  // Without the drawings, the bytes are the plain transcript (the terminal
  // turns each newline into a carriage return and a newline).
  std::string rest = std::regex_replace(raw, kDrawing, "");
  rest = std::regex_replace(rest, std::regex("\r\n"), "\n");
  EXPECT_EQ(rest, plain);
}

TEST_F(TerminalRun, ANarrowTerminalGetsTheLineCut) {
  const std::string raw = PtyRun(30);
  size_t drawings = 0;
  for (std::sregex_iterator it(raw.begin(), raw.end(), kDrawing), end; it != end; ++it) {
    ++drawings;
    EXPECT_LE((*it)[1].length(), 29u) << (*it)[1];
  }
  EXPECT_GE(drawings, 3u) << raw;
  EXPECT_NE(raw.find("\r 0 B of 3.0 MiB (0%), 0 image\x1b[K"), std::string::npos) << raw;
}

TEST_F(TerminalRun, TheFinishedScreenIsThePlainTranscript) {
  const std::string plain = PlainTranscript();
  const std::vector<std::string> expected = ScreenLines(plain);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(TmuxScreen("screen", expected.back()), expected);
}

// Where the terminal knows no erase sequence the line is drawn and erased
// with blanks: the bytes say so, and the screen shows the same text (with
// blanks where the line stood).
TEST_F(TerminalRun, ATerminalWithoutEraseGetsBlanks) {
  const std::string plain = PlainTranscript();
  const std::string raw = PtyRun(80, "dumb");
  EXPECT_EQ(raw.find('\x1b'), std::string::npos);
  EXPECT_NE(raw.find("\r 0 B of 3.0 MiB (0%), 0 images found\r"), std::string::npos) << raw;

  // The last drawing, then as many blanks as it has characters, or more.
  std::smatch last;
  ASSERT_TRUE(
      std::regex_search(raw, last, std::regex("\r([^\r\n]*)\r( *)\r\r\n Begin Dumping PNGs")))
      << raw;
  const std::string text = last[1].str().substr(0, last[1].str().find_last_not_of(' ') + 1);
  EXPECT_NE(text.find(" images found"), std::string::npos) << raw;
  EXPECT_GE(last[2].length(), text.size());

  // Every drawing ends where the next carriage return begins.
  std::string rest = std::regex_replace(raw, std::regex("\r[^\r\n]*(?=\r)"), "");
  rest = std::regex_replace(rest, std::regex("\r\n"), "\n");
  EXPECT_EQ(rest, plain);

  std::vector<std::string> expected = ScreenLines(plain);
  ASSERT_FALSE(expected.empty());
  std::vector<std::string> screen = TmuxScreen("dumb", expected.back());
  for (auto* lines : {&screen, &expected})
    for (auto& line : *lines) line.erase(line.find_last_not_of(' ') + 1);
  EXPECT_EQ(screen, expected);
}

// Ctrl-C, SIGTERM or a hang-up while the key prompt waits with the terminal
// in raw mode: the process ends by that signal, and the terminal has its
// line editing and echo back.
TEST_F(TerminalRun, AnInterruptedKeyWaitGivesTheTerminalBack) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) ExecLumvane(m_dir.path(), "dump.bin", true);
    termios before{};
    ASSERT_EQ(tcgetattr(master, &before), 0);
    ASSERT_TRUE((before.c_lflag & ICANON) && (before.c_lflag & ECHO));
    // Wait, reading what the program writes, until the prompt has put the
    // terminal in raw mode.
    std::string raw;
    bool waiting = false;
    const auto deadline = std::chrono::steady_clock::now() + kGiveUpAfter;
    while (!waiting && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 1) > 0) {
        char chunk[4096];
        const ssize_t got = read(master, chunk, sizeof chunk);
        if (got <= 0) break;
        raw.append(chunk, static_cast<size_t>(got));
      }
      termios now{};
      waiting = raw.find("Any Key to Quit...") != std::string::npos &&
                tcgetattr(master, &now) == 0 && (now.c_lflag & (ICANON | ECHO)) == 0;
    }
    EXPECT_TRUE(waiting) << raw;
    if (signal == SIGINT) {
      const char ctrlC = '\x03';  // the terminal sends SIGINT for it
      EXPECT_EQ(write(master, &ctrlC, 1), 1);
    } else {
      kill(pid, signal);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == signal) << signal << ": " << wstatus;
    termios after{};
    ASSERT_EQ(tcgetattr(master, &after), 0);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO)) << signal;
    close(master);
  }
}

}  // namespace

namespace {

// The state letter of process pid (R, S, T, ...) from /proc; 0 when gone.
char ProcessState(pid_t pid) {
  FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return 0;
  char line[512] = {};
  const size_t got = std::fread(line, 1, sizeof line - 1, f);
  std::fclose(f);
  const char* close = std::strrchr(line, ')');
  return got > 0 && close != nullptr && close[1] == ' ' ? close[2] : 0;
}

// Waits until done() holds, up to kGiveUpAfter; false when it never did.
bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kGiveUpAfter;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

// Ctrl-Z at the key prompt, then fg, as under an interactive shell: the
// program runs in a process group of its own in the terminal's foreground,
// below a parent of the session that stands for the shell. While stopped,
// the terminal has its line editing and echo back; a shell that puts them
// back itself changes nothing; continued, the wait takes raw mode again and
// one key, no Enter, ends it.
TEST_F(TerminalRun, AStoppedKeyWaitLeavesTheTerminalSaneAndTakesItAgain) {
  int pidPipe[2];
  ASSERT_EQ(pipe(pidPipe), 0);
  int master = -1;
  const pid_t shell = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(shell, 0);
  if (shell == 0) {
    close(pidPipe[0]);
    const pid_t job = fork();
    if (job == 0) {
      signal(SIGTTOU, SIG_IGN);
      if (setpgid(0, 0) != 0 || tcsetpgrp(0, getpgrp()) != 0) _exit(126);
      signal(SIGTTOU, SIG_DFL);
      ExecLumvane(m_dir.path(), "dump.bin", true);
    }
    if (job < 0 || write(pidPipe[1], &job, sizeof job) != sizeof job) _exit(126);
    int wstatus = 0;
    while (waitpid(job, &wstatus, 0) < 0 && errno == EINTR) {
    }
    _exit(WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 125);
  }
  close(pidPipe[1]);
  pid_t job = -1;
  ASSERT_EQ(read(pidPipe[0], &job, sizeof job), static_cast<ssize_t>(sizeof job));
  close(pidPipe[0]);
  // A new terminal's settings, which the program may have changed by now:
  // line editing and echo on.
  termios cooked{};
  ASSERT_EQ(tcgetattr(master, &cooked), 0);
  cooked.c_lflag |= ICANON | ECHO;
  const auto mode = [master] {
    termios now{};
    return tcgetattr(master, &now) == 0 ? now.c_lflag & (ICANON | ECHO) : ~tcflag_t{0};
  };
  // Drained meanwhile, so that the program's writes never block.
  std::string raw;
  const auto drain = [&] {
    pollfd p{master, POLLIN, 0};
    char chunk[4096];
    ssize_t got;
    while (poll(&p, 1, 0) > 0 && (got = read(master, chunk, sizeof chunk)) > 0)
      raw.append(chunk, static_cast<size_t>(got));
  };
  EXPECT_TRUE(WaitFor([&] {
    drain();
    return raw.find("Any Key to Quit...") != std::string::npos && mode() == 0;
  })) << raw;

  const char ctrlZ = '\x1a';  // the terminal sends SIGTSTP for it
  EXPECT_EQ(write(master, &ctrlZ, 1), 1);
  EXPECT_TRUE(WaitFor([&] { return ProcessState(job) == 'T'; })) << "the program did not stop";
  EXPECT_EQ(mode(), cooked.c_lflag & (ICANON | ECHO)) << "raw mode left while stopped";

  // The shell puts its own settings back and continues the job (fg).
  ASSERT_EQ(tcsetattr(master, TCSANOW, &cooked), 0);
  kill(job, SIGCONT);
  EXPECT_TRUE(WaitFor([&] { return mode() == 0; })) << "raw mode not taken again";
  const char key = 'k';
  EXPECT_EQ(write(master, &key, 1), 1);
  int wstatus = 0;
  EXPECT_TRUE(WaitFor([&] {
    drain();
    return waitpid(shell, &wstatus, WNOHANG) == shell;
  })) << "one key did not end the wait";
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
  EXPECT_EQ(mode(), cooked.c_lflag & (ICANON | ECHO));
  close(master);
  if (ProcessState(job) != 0) kill(job, SIGKILL);
}
