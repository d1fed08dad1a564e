// kelb-probe, the real program with every module loaded, on the sample disk
// of each scheme cut short at every sector that holds any of its tables,
// and inside a sector: each run ends on its own with status 0, 1 or 2 (no
// signal, no sanitizer report), says why on standard error when it fails,
// and lists nothing on a disk cut before its table.

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef KELB_PROBE
#error "KELB_PROBE must name the built kelb-probe"
#endif

namespace fs = std::filesystem;

namespace {

struct ProbeRun {
    int status = -1;   // exit status, or 1000 + signal
    std::string out, err;
};

std::string ReadAll(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

ProbeRun RunProgram(const std::vector<std::string>& args, const fs::path& scratch)
{
    const fs::path out = scratch / "out.txt", err = scratch / "err.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || in < 0)
            _exit(126);
        dup2(in, 0), dup2(o, 1), dup2(e, 2);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        alarm(120);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    ProbeRun r;
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 1000 + (WIFSIGNALED(ws) ? WTERMSIG(ws) : 0);
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
}

class ProbeTruncatedTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        std::string tmpl = ::testing::TempDir() + "kelb-cut-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_P(ProbeTruncatedTest, EveryCutEndsCleanly)
{
    const std::string scheme = GetParam();
    const fs::path full = dir / "full.img";
    const std::string sampler = fs::path(KELB_PROBE).parent_path() / ("kelb-sample-" + scheme);
    ASSERT_EQ(RunProgram({sampler, full.string()}, dir).status, 0);
    const std::string bytes = ReadAll(full);
    ASSERT_EQ(RunProgram({KELB_PROBE, full.string()}, dir).status, 0) << "the sample itself is listed";

    // Every sector up to the last one holding anything (the first 80 at
    // most), just before and after that, and a few cuts inside a sector.
    size_t last = bytes.find_last_not_of('\0');
    ASSERT_NE(last, std::string::npos);
    std::vector<size_t> cuts{1, 511, 513, last, last + 1};
    for (size_t s = 0; s * 512 <= last + 512 && s < 80; ++s)
        cuts.push_back(s * 512);

    const fs::path cut = dir / "cut.img";
    for (size_t n : cuts) {
        SCOPED_TRACE(scheme + " cut to " + std::to_string(n) + " bytes");
        {
            std::ofstream f(cut, std::ios::binary);
            f.write(bytes.data(), static_cast<std::streamsize>(std::min(n, bytes.size())));
        }
        const ProbeRun r = RunProgram({KELB_PROBE, cut.string()}, dir);
        EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2) << "status " << r.status << "\n"
                                                                        << r.err;
        if (r.status != 0) {
            EXPECT_FALSE(r.err.empty() && r.out.empty()) << "failed without a word";
        }
        if (n < 512) {
            EXPECT_NE(r.status, 0) << "a disk without a whole sector was accepted:\n" << r.out;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, ProbeTruncatedTest,
                         ::testing::Values("sun", "amiga", "apple", "acorn"));

} // namespace
