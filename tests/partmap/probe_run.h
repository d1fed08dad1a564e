// ProbeRunTest: the base fixture of the kelb-probe end-to-end tests. Each test
// gets a fresh folder dir_ under /tmp (removed afterwards) and runs programs
// with Exec, or kelb-probe (KELB_PROBE) with Probe; their output is captured
// through files in dir_. Text helpers Slurp, Split and Words come with it.
#ifndef KELB_PROBE_RUN_H
#define KELB_PROBE_RUN_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef KELB_PROBE
#error "KELB_PROBE must name the built kelb-probe"
#endif

extern char **environ;

namespace kelb_test {

struct Result {
  int status = -1;
  std::string out, err;
};

inline std::string Slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::vector<std::string> Split(const std::string &s, char sep) {
  std::vector<std::string> parts;
  std::string cur;
  std::istringstream in(s);
  while (std::getline(in, cur, sep))
    parts.push_back(cur);
  return parts;
}

inline std::vector<std::string> Words(const std::string &line) {
  std::vector<std::string> w;
  std::istringstream in(line);
  std::string x;
  while (in >> x)
    w.push_back(x);
  return w;
}

class ProbeRunTest : public ::testing::Test {
protected:
  // `dir_template` is a mkdtemp template, ending in XXXXXX.
  explicit ProbeRunTest(const char *dir_template) : template_(dir_template) {}

  void SetUp() override {
    std::vector<char> t(template_.begin(), template_.end());
    t.push_back('\0');
    ASSERT_NE(mkdtemp(t.data()), nullptr);
    dir_ = t.data();
  }
  void TearDown() override { Exec({"/bin/rm", "-rf", dir_}); }

  // Runs argv[0] with the given arguments; output is captured in files.
  Result Exec(const std::vector<std::string> &args) {
    Result r;
    const std::string out = dir_ + "/.stdout", err = dir_ + "/.stderr";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv;
    for (const std::string &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0) {
      int st = 0;
      waitpid(pid, &st, 0);
      r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    posix_spawn_file_actions_destroy(&fa);
    if (args[0] != "/bin/rm") {
      r.out = Slurp(out);
      r.err = Slurp(err);
    }
    return r;
  }

  Result Probe(std::vector<std::string> args) {
    args.insert(args.begin(), KELB_PROBE);
    return Exec(args);
  }

  std::string dir_;

private:
  std::string template_;
};

} // namespace kelb_test

#endif // KELB_PROBE_RUN_H
