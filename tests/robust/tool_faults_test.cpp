// Lumvane run end to end under faults the system injects for real: a write
// the kernel refuses part-way (RLIMIT_FSIZE), a read that fails, a
// read-only file, a file or a link where the output folder goes, a link
// inside the output folder, an input that is a directory, and an input past
// 4 GiB. Every run must end with its clear message and exit status, and
// leave every file outside the output folder as it was: the scratch tree is
// fingerprinted (type, mode, size, modification time, link target and the
// bytes of every data region) before and after.

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef LUMVANE_BIN
#error "LUMVANE_BIN must name the built tool"
#endif

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrompt = "\n\n Any Key to Quit...\n";

// ---- A PNG-looking image: signature, IHDR chunk, filler, IEND chunk --------
std::string Image(size_t length, char fill)
{
    std::string png("\x89PNG\r\n\x1a\n", 8);
    png += std::string("\0\0\0\x0dIHDR", 8) + std::string(13, '\x01') + "crc!";
    const std::string tail = std::string("\0\0\0\0IEND", 8) + "\xae\x42\x60\x82";
    png += std::string(length - png.size() - tail.size(), fill);
    return png + tail;
}

void WriteFile(const fs::path& p, const std::string& bytes)
{
    std::ofstream f(p, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good()) << p;
}

std::string ReadFile(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// ---- Fingerprint of a tree ----------------------------------------------------
uint64_t Fnv(uint64_t h, const void* data, size_t n)
{
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001b3ull;
    return h;
}

// The bytes of every data region (holes of a sparse file are skipped, their
// places still count through the offsets hashed).
uint64_t HashContent(const fs::path& p)
{
    const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    uint64_t h = 0xcbf29ce484222325ull;
    std::vector<char> buf(1 << 20);
    off_t at = 0;
    for (;;) {
        const off_t data = lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break;
        const off_t hole = lseek(fd, data, SEEK_HOLE);
        h = Fnv(h, &data, sizeof data);
        for (off_t pos = data; pos < hole;) {
            const ssize_t n = pread(fd, buf.data(),
                                    static_cast<size_t>(std::min<off_t>(hole - pos, static_cast<off_t>(buf.size()))), pos);
            if (n <= 0)
                break;
            h = Fnv(h, buf.data(), static_cast<size_t>(n));
            pos += n;
        }
        at = hole;
    }
    close(fd);
    return h;
}

// Path (relative to root) -> what it is. Entries under `skip` are left out.
std::map<std::string, std::string> Fingerprint(const fs::path& root, const fs::path& skip = {})
{
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path p = it->path();
        if (!skip.empty() && p == skip) {
            it.disable_recursion_pending();   // not followed: links are never entered
            continue;
        }
        struct stat st;
        if (lstat(p.c_str(), &st) != 0)
            continue;
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        if (S_ISLNK(st.st_mode))
            what += " -> " + fs::read_symlink(p).string();
        else if (S_ISREG(st.st_mode))
            what += " #" + std::to_string(HashContent(p));
        out[fs::relative(p, root).string()] = what;
    }
    return out;
}

// ---- Running the tool -------------------------------------------------------
struct ToolRun {
    int status = -1;
    std::string out, err;
};

// Runs the tool with `arg` in `cwd`, standard input from /dev/null. With
// fileLimit > 0 the child may write no file past that many bytes: the kernel
// refuses the write (SIGXFSZ ignored, so write fails with EFBIG).
ToolRun RunTool(const fs::path& cwd, const std::string& arg, rlim_t fileLimit = 0)
{
    const fs::path outPath = cwd.parent_path() / "stdout.txt";
    const fs::path errPath = cwd.parent_path() / "stderr.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (fileLimit > 0) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit lim{fileLimit, fileLimit};
            if (setrlimit(RLIMIT_FSIZE, &lim) != 0)
                _exit(126);
        }
        alarm(600);   // a hang ends the run instead of the test suite
        execl(LUMVANE_BIN, LUMVANE_BIN, arg.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ToolRun r;
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 1000 + (WIFSIGNALED(ws) ? WTERMSIG(ws) : 0);
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    fs::remove(outPath);
    fs::remove(errPath);
    return r;
}

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class ToolFaultsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = ::testing::TempDir() + "lumvane-faults-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        top = tmpl;
        root = top / "scratch";
        fs::create_directory(root);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(top, ec);
    }

    // Asserts the run failed with `message` (a line of its own on standard
    // output, then the key prompt), status 1 and nothing on standard error.
    static void ExpectFailure(const ToolRun& r, const std::string& message)
    {
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.out.find(message + "\n"), std::string::npos) << "standard output:\n" << r.out;
        EXPECT_TRUE(EndsWith(r.out, kPrompt)) << r.out;
        EXPECT_EQ(r.err, "");
    }

    fs::path top, root;
};

// An input of three images: 4 KiB, 64 KiB, 4 KiB, with junk around them.
std::string ThreeImages(std::vector<std::string>* images = nullptr)
{
    const std::string a = Image(4096, 'a'), b = Image(65536, 'b'), c = Image(4096, 'c');
    if (images)
        *images = {a, b, c};
    return "junk" + a + "more junk" + b + c + "tail";
}

TEST_F(ToolFaultsTest, AWriteRefusedPartWayIsReportedAndItsFileRemoved)
{
    std::vector<std::string> images;
    WriteFile(root / "dump.bin", ThreeImages(&images));
    const auto before = Fingerprint(root, root / "dump");
    // 00.png fits under 32 KiB; 01.png (64 KiB) does not.
    const ToolRun r = RunTool(root, "dump.bin", 32768);
    ExpectFailure(r, "\n File Write Failed!\n");
    EXPECT_TRUE(ReadFile(root / "dump" / "00.png") == images[0]);
    EXPECT_FALSE(fs::exists(root / "dump" / "01.png")) << "the partly written image stays";
    EXPECT_FALSE(fs::exists(root / "dump" / "02.png"));
    EXPECT_EQ(Fingerprint(root, root / "dump"), before);
}

// A read that fails: sysfs attributes report a length of 4096 and some
// refuse every read (the loopback device's link speed: EINVAL). The input is
// a link to one, so the output folder would be beside it in the scratch.
TEST_F(ToolFaultsTest, AReadThatFailsIsReportedAndNothingIsCreated)
{
    const char* failing = "/sys/class/net/lo/speed";
    {
        const int fd = open(failing, O_RDONLY);
        char c;
        const bool fails = fd >= 0 && read(fd, &c, 1) < 0;
        if (fd >= 0)
            close(fd);
        if (!fails)
            GTEST_SKIP() << failing << " is not here or reads without error";
    }
    fs::create_symlink(failing, root / "speed.bin");
    const auto before = Fingerprint(root);
    const ToolRun r = RunTool(root, "speed.bin");
    ExpectFailure(r, "\n File Read Failed!\n");
    EXPECT_EQ(Fingerprint(root), before);
    EXPECT_FALSE(fs::exists(root / "speed"));
}

// Old files in the output folder: a read-only one cannot be deleted, a link
// to a file outside (named as an image the run writes) must go without its
// target being touched, and a link to a directory outside stays with the
// directory's files. Several read-only files make it likely that the
// listing meets one before the link, so the link may survive the emptying;
// writing 00.png must still never write through it. The same holds for a
// second name (hard link) of a file outside, and a link to no file yet.
TEST_F(ToolFaultsTest, ReadOnlyFilesAndLinksInTheOutputFolder)
{
    std::vector<std::string> images;
    WriteFile(root / "dump.bin", ThreeImages(&images));
    fs::create_directories(root / "outside" / "dir");
    WriteFile(root / "outside" / "precious.txt", "keep me");
    WriteFile(root / "outside" / "dir" / "inner.txt", "keep me too");
    fs::create_directory(root / "dump");
    WriteFile(root / "outside" / "linked.txt", "keep me as well");
    fs::create_symlink("../outside/precious.txt", root / "dump" / "00.png");
    fs::create_hard_link(root / "outside" / "linked.txt", root / "dump" / "01.png");
    fs::create_symlink("../outside/made-by-the-run.txt", root / "dump" / "02.png");
    fs::create_symlink("../outside/precious.txt", root / "dump" / "other-link");
    fs::create_symlink("../outside/dir", root / "dump" / "dirlink");
    for (int i = 0; i < 8; ++i) {
        const fs::path p = root / "dump" / ("readonly" + std::to_string(i) + ".txt");
        WriteFile(p, "old");
        fs::permissions(p, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
    const auto before = Fingerprint(root, root / "dump");
    const ToolRun r = RunTool(root, "dump.bin");

    EXPECT_TRUE(Fingerprint(root, root / "dump") == before) << "a file outside the output folder changed";
    EXPECT_TRUE(ReadFile(root / "outside" / "precious.txt") == "keep me");
    EXPECT_TRUE(ReadFile(root / "outside" / "linked.txt") == "keep me as well");
    EXPECT_FALSE(fs::exists(root / "outside" / "made-by-the-run.txt"));
    EXPECT_TRUE(fs::exists(root / "dump" / "dirlink" / "inner.txt"));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(ReadFile(root / "dump" / ("readonly" + std::to_string(i) + ".txt")), "old");
    if (r.status == 0) {
        // The links were deleted before the images were written.
        EXPECT_FALSE(fs::is_symlink(root / "dump" / "00.png"));
        EXPECT_TRUE(ReadFile(root / "dump" / "00.png") == images[0]);
        EXPECT_TRUE(EndsWith(r.out, kPrompt));
    } else {
        // The emptying stopped at a read-only file and left the link; the
        // writer refused to write through it.
        ExpectFailure(r, "\n File create Failed!\n");
        EXPECT_TRUE(fs::is_symlink(root / "dump" / "00.png"));
    }
}

// A link inside the output folder that points outside: the emptying removes
// the link, never its target.
TEST_F(ToolFaultsTest, ALinkToAFileOutsideGoesAndItsTargetStays)
{
    std::vector<std::string> images;
    WriteFile(root / "dump.bin", ThreeImages(&images));
    WriteFile(root / "precious.txt", "keep me");
    fs::create_directory(root / "dump");
    fs::create_symlink("../precious.txt", root / "dump" / "old.png");
    fs::create_symlink("../precious.txt", root / "dump" / "07.png");
    const auto before = Fingerprint(root, root / "dump");
    const ToolRun r = RunTool(root, "dump.bin");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "dump" / "old.png")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "dump" / "07.png")));
    EXPECT_EQ(ReadFile(root / "precious.txt"), "keep me");
    for (size_t i = 0; i < images.size(); ++i)
        EXPECT_TRUE(ReadFile(root / "dump" / ("0" + std::to_string(i) + ".png")) == images[i]) << i;
    EXPECT_EQ(Fingerprint(root, root / "dump"), before);
}

// The output folder's name is taken by a file, or by a link to a folder that
// does not exist: nothing can be created there; the file stays as it was.
TEST_F(ToolFaultsTest, AnOutputFolderThatIsAFile)
{
    WriteFile(root / "dump.bin", ThreeImages());
    WriteFile(root / "dump", "I am a file");
    const auto before = Fingerprint(root);
    const ToolRun r = RunTool(root, "dump.bin");
    ExpectFailure(r, "\n File create Failed!\n");
    EXPECT_EQ(Fingerprint(root), before);

    // A link to a folder that does not exist: nothing is made through it.
    fs::remove(root / "dump");
    fs::create_directory(root / "elsewhere");
    fs::create_symlink("elsewhere/new/out", root / "dump");
    const auto before2 = Fingerprint(root);
    const ToolRun r2 = RunTool(root, "dump.bin");
    ExpectFailure(r2, "\n File create Failed!\n");
    EXPECT_EQ(Fingerprint(root), before2);
    EXPECT_FALSE(fs::exists(root / "elsewhere" / "new"));
}

// The output folder's name is a link to the input's own directory: emptying
// it would delete the input and its neighbours. The writer refuses.
TEST_F(ToolFaultsTest, AnOutputFolderLinkedToTheInputsOwnDirectoryIsRefused)
{
    fs::create_directory(root / "in");
    WriteFile(root / "in" / "dump.bin", ThreeImages());
    WriteFile(root / "in" / "neighbour.txt", "keep me");
    fs::create_symlink(".", root / "in" / "dump");
    const auto before = Fingerprint(root);
    const ToolRun r = RunTool(root / "in", "dump.bin");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(EndsWith(r.out, kPrompt)) << r.out;
    EXPECT_NE(r.out.find("refused"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("PNGs saved to"), std::string::npos) << r.out;
    EXPECT_EQ(Fingerprint(root), before);
    // ... also when the link names the directory above.
    fs::remove(root / "in" / "dump");
    fs::create_symlink("..", root / "in" / "dump");
    const auto before2 = Fingerprint(root);
    const ToolRun r2 = RunTool(root / "in", "dump.bin");
    EXPECT_EQ(r2.status, 1) << r2.out;
    EXPECT_EQ(Fingerprint(root), before2);
}

TEST_F(ToolFaultsTest, AnInputThatIsADirectoryIsRefusedBeforeAnythingIsCreated)
{
    fs::create_directory(root / "folder.bin");
    WriteFile(root / "folder.bin" / "inside.png", Image(100, 'x'));
    const auto before = Fingerprint(root);
    const ToolRun r = RunTool(root, "folder.bin");
    ExpectFailure(r, "\n File Open Failed!\n");
    EXPECT_EQ(Fingerprint(root), before);
    EXPECT_FALSE(fs::exists(root / "folder"));
}

// A sparse input just past 4 GiB with an image well below 4 GiB, one across
// it and one above it: each is found and written byte for byte.
TEST_F(ToolFaultsTest, ASparseInputPastFourGiBKeepsEveryImage)
{
    const uint64_t four = uint64_t{1} << 32;
    const std::vector<std::pair<uint64_t, std::string>> placed = {
        {four - 3 * 65536 + 7, Image(70000, 'l')},
        {four - 1000, Image(3000, 'm')},
        {four + 65536 * 2 + 3, Image(5000, 'h')},
    };
    const fs::path input = root / "big.bin";
    {
        const int fd = open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        for (const auto& [at, bytes] : placed)
            ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)),
                      static_cast<ssize_t>(bytes.size()));
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(placed.back().first + placed.back().second.size() + 1)), 0);
        close(fd);
    }
    ASSERT_GT(fs::file_size(input), four + 1);
    const auto before = Fingerprint(root, root / "big");
    const ToolRun r = RunTool(root, "big.bin");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("(total: 3)"), std::string::npos) << r.out;
    for (size_t i = 0; i < placed.size(); ++i)
        EXPECT_TRUE(ReadFile(root / "big" / ("0" + std::to_string(i) + ".png")) == placed[i].second) << i;
    EXPECT_EQ(Fingerprint(root, root / "big"), before);
}

} // namespace
