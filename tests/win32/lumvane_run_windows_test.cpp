// SPDX-License-Identifier: MIT
// End-to-end runs of Lumvane.exe on a real drive letter: the exact bytes on
// standard output and standard error (the runtime writes each line end as
// CR LF to a file), the exit status, and the images written as
// "folder\NN.png". Lumvane runs detached from any console with standard input
// from NUL, so its closing key wait returns at once.
//
// Usage: lumvane_run_windows_test PATH\TO\Lumvane.exe [gtest options]
#include "tests/win32/win32_support.h"

#include <cstdio>
#include <cstring>

#include "platform/folder.h"
#include "tests/support/system_text.h"
#include "testdata/pngdraw.h"
#include "tests/support/transcript.h"
#include "tests/tool/list_sample.h"

namespace {

using namespace win32test;

std::string g_lumvane;  // the program under test, from the command line

// The bytes a text-mode stream writes for text.
std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

using transcript::Analyse;
using transcript::Dumped;
using transcript::kBanner;
using transcript::kPrompt;
using transcript::Total;

struct RunResult {
  std::string out, err;
  DWORD status = 0xFFFFFFFF;
};

HANDLE InheritableFile(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Where a run's standard output goes: a file in the logs, nowhere (the
// program is started without one), or a pipe whose reader is gone.
enum class Stdout { File, None, BrokenPipe };

// Runs Lumvane.exe with args in cwd; its output goes to files in logs,
// standard output as stdoutKind says.
RunResult RunLumvane(const std::vector<std::string>& args, const std::string& cwd,
                     const ScratchFolder& logs, Stdout stdoutKind = Stdout::File) {
  RunResult result;
  std::string commandLine = "\"" + g_lumvane + "\"";
  for (const std::string& arg : args) commandLine += " \"" + arg + "\"";
  const std::string outPath = logs / "stdout", errPath = logs / "stderr";
  HANDLE in = InheritableFile("NUL", false);
  HANDLE out = InheritableFile(outPath, true);
  HANDLE err = InheritableFile(errPath, true);
  if (stdoutKind == Stdout::BrokenPipe) {
    CloseHandle(out);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE reader = nullptr;
    EXPECT_TRUE(CreatePipe(&reader, &out, &inherit, 0));
    CloseHandle(reader);
  }
  EXPECT_NE(in, INVALID_HANDLE_VALUE);
  EXPECT_NE(out, INVALID_HANDLE_VALUE);
  EXPECT_NE(err, INVALID_HANDLE_VALUE);

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = stdoutKind == Stdout::None ? nullptr : out;
  startup.hStdError = err;
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessA(g_lumvane.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      DETACHED_PROCESS, nullptr, cwd.c_str(), &startup, &process);
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  EXPECT_TRUE(started) << commandLine << ": error " << GetLastError();
  if (!started) return result;
  // A run of a few small files takes well under a second; a minute means it
  // hangs (say, waiting for a key), which must fail rather than stall CI.
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0) << commandLine;
  if (!GetExitCodeProcess(process.hProcess, &result.status)) result.status = 0xFFFFFFFF;
  if (result.status == STILL_ACTIVE) TerminateProcess(process.hProcess, 99);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  result.out = ReadFileBytes(outPath);
  result.err = ReadFileBytes(errPath);
  return result;
}

// The line on standard error that says why path failed: the system's text
// for code, without its closing full stop.
std::string Reason(const std::string& path, DWORD code) {
  std::string text = SystemText(code);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return Crlf("lumvane: " + path + ": " + text + "\n");
}

std::string Slice(const pngdraw::Bytes& bytes, const pngdraw::Range& range) {
  return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(range.start),
                     bytes.begin() + static_cast<std::ptrdiff_t>(range.end));
}

// A junk file holding count pictures at path; ranges receives their places.
pngdraw::Bytes WriteSample(const std::string& path, unsigned count,
                           std::vector<pngdraw::Range>* ranges) {
  pngdraw::Bytes bytes = pngdraw::MakeJunkWithPictures(7, count, ranges);
  EXPECT_TRUE(WriteFileBytes(path, bytes));
  return bytes;
}

// The files of folder (no folders), listed through a CFolder held for the
// listing alone; empty when it cannot be held.
CStringArray FilesIn(const std::string& folder) {
  CStringArray files;
  CFolder held;
  EXPECT_TRUE(held.Open(folder.c_str()) && held.ListFiles(files)) << folder;
  return files;
}

// Every picture is in folder as NN.png, byte for byte, and nothing else.
void ExpectImages(const std::string& folder, const pngdraw::Bytes& bytes,
                  const std::vector<pngdraw::Range>& ranges) {
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "\\%02u.png", static_cast<unsigned>(i));
    EXPECT_EQ(ReadFileBytes(folder + name), Slice(bytes, ranges[i])) << folder + name;
  }
  EXPECT_EQ(FilesIn(folder).GetSize(), static_cast<INT_PTR>(ranges.size()));
}

class LumvaneWindowsRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (g_lumvane.empty()) GTEST_SKIP() << "no Lumvane.exe named on the command line";
    REQUIRE_TEST_DRIVE(m_work);
    ASSERT_TRUE(m_logs.ok());
  }
  ScratchFolder m_work, m_logs;
};

TEST_F(LumvaneWindowsRun, BareNameInAFolderOfTheDrive) {
  const std::string input = m_work / "dump.bin";
  std::vector<pngdraw::Range> ranges;
  const pngdraw::Bytes bytes = WriteSample(input, 3, &ranges);
  // A file from an earlier run that found more images does not survive.
  ASSERT_TRUE(CreateDirectoryA((m_work / "dump").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(m_work / "dump\\07.png", "old"));

  const RunResult run = RunLumvane({"dump.bin"}, m_work.path(), m_logs);
  EXPECT_EQ(run.out, Crlf(Analyse(input) + Dumped(3, m_work / "dump") + kPrompt));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0u);
  ExpectImages(m_work / "dump", bytes, ranges);
  EXPECT_FALSE(IsFile(m_work / "dump\\07.png"));
}

TEST_F(LumvaneWindowsRun, BareNameAtTheDriveRootKeepsTwoBackslashes) {
  const std::string drive = TestDrive();
  const std::string stem = m_work.RootName("root");
  m_work.RemoveLater(drive + "\\" + stem + ".bin");
  std::vector<pngdraw::Range> ranges;
  const pngdraw::Bytes bytes = WriteSample(drive + "\\" + stem + ".bin", 2, &ranges);

  const RunResult run = RunLumvane({stem + ".bin"}, drive + "\\", m_logs);
  const std::string full = drive + "\\\\" + stem + ".bin";
  EXPECT_EQ(run.out, Crlf(Analyse(full) + Dumped(2, drive + "\\\\" + stem) + kPrompt));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0u);
  ExpectImages(drive + "\\" + stem, bytes, ranges);
}

TEST_F(LumvaneWindowsRun, PathsWithSeparatorsAreUsedAsTyped) {
  ASSERT_TRUE(CreateDirectoryA((m_work / "sub").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((m_work / "my.data").c_str(), nullptr));
  std::vector<pngdraw::Range> ranges;
  const pngdraw::Bytes bytes = WriteSample(m_work / "sub\\archive.tar.gz", 2, &ranges);
  WriteSample(m_work / "my.data\\dump", 2, nullptr);

  // Relative, with a backslash: only the last extension goes.
  RunResult run = RunLumvane({"sub\\archive.tar.gz"}, m_work.path(), m_logs);
  EXPECT_EQ(run.out,
            Crlf(Analyse("sub\\archive.tar.gz") + Dumped(2, "sub\\archive.tar") + kPrompt));
  EXPECT_EQ(run.status, 0u);
  ExpectImages(m_work / "sub\\archive.tar", bytes, ranges);

  // A drive path written with slashes: the images are joined with a backslash.
  const std::string slashed = TestDrive() + "/" + m_work.name() + "/sub/archive.tar.gz";
  run = RunLumvane({slashed}, m_logs.path(), m_logs);
  const std::string folder = slashed.substr(0, slashed.size() - 3);
  EXPECT_EQ(run.out, Crlf(Analyse(slashed) + Dumped(2, folder) + kPrompt));
  EXPECT_EQ(run.status, 0u);
  ExpectImages(m_work / "sub\\archive.tar", bytes, ranges);

  // No extension (the dot is in a folder name): the folder would be the input
  // file itself, which is refused before the input is read.
  const std::string noExt = m_work / "my.data\\dump";
  run = RunLumvane({noExt}, m_logs.path(), m_logs);
  EXPECT_EQ(run.out, Crlf(Analyse(noExt) + "\n Output folder refused: " + noExt +
                          " is not a folder.\n\n" + kPrompt));
  EXPECT_EQ(run.err, Reason(noExt, ERROR_DIRECTORY));
  EXPECT_EQ(run.status, 1u);
  EXPECT_TRUE(IsFile(noExt));
}

TEST_F(LumvaneWindowsRun, NoArgumentShowsTheUsage) {
  const RunResult run = RunLumvane({}, m_work.path(), m_logs);
  EXPECT_EQ(run.out, Crlf(kBanner + kPrompt));
  EXPECT_EQ(run.err, Crlf("\n Usage:\n\n      Lumvane.exe FILE\n\n"));
  EXPECT_EQ(run.status, 1u);
}

TEST_F(LumvaneWindowsRun, AMissingInputFailsToOpenAndMakesNoFolder) {
  const std::string missing = m_work / "missing.bin";
  const RunResult run = RunLumvane({missing}, m_work.path(), m_logs);
  EXPECT_EQ(run.out, Crlf(Analyse(missing) + "\n File Open Failed!\n\n" + kPrompt));
  EXPECT_EQ(run.err, Reason(missing, ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(run.status, 1u);
  EXPECT_FALSE(IsDirectory(m_work / "missing"));
}

// A name with a terminal's control sequences and a character of the ANSI
// code page (é in 1252): the control bytes are shown as \xNN wherever the
// name is printed, on standard output and standard error; the character
// stays as it is.
TEST_F(LumvaneWindowsRun, EveryNameItPrintsIsEscaped) {
  const std::string typed = "x\x1b[2J\x1b]0;pwned\x07-r\xe9sum\xe9.bin";
  const std::string shown = "x\\x1b[2J\\x1b]0;pwned\\x07-r\xe9sum\xe9.bin";
  if (GetACP() != 1252) GTEST_SKIP() << "the ANSI code page is " << GetACP() << ", not 1252";
  const RunResult run = RunLumvane({typed}, m_work.path(), m_logs);
  EXPECT_EQ(run.out, Crlf(Analyse(m_work / shown) + "\n File Open Failed!\n\n" + kPrompt));
  // No Windows name holds a control character.
  EXPECT_EQ(run.err, Reason(m_work / shown, ERROR_INVALID_NAME));
  EXPECT_EQ(run.status, 1u);
}

// Started without a standard output, the program cannot initialise: it
// says so on standard error and stops with 1, without the key prompt.
TEST_F(LumvaneWindowsRun, StartUpWithoutStandardOutputFails) {
  const RunResult run = RunLumvane({"dump.bin"}, m_work.path(), m_logs, Stdout::None);
  EXPECT_EQ(run.err, Crlf(" Fatal Error: MFC initialization failed\n"));
  EXPECT_EQ(run.status, 1u);
  EXPECT_FALSE(IsDirectory(m_work / "dump"));
}

// Emptying stopped at a read-only file: the images are written, then the
// disk object's text (the system's message and the file) ends the run with
// status 1, since old files stand beside them.
TEST_F(LumvaneWindowsRun, AFolderThatWasNotEmptiedFailsTheRun) {
  const std::string input = m_work / "dump.bin";
  std::vector<pngdraw::Range> ranges;
  const pngdraw::Bytes bytes = WriteSample(input, 2, &ranges);
  const std::string notes = m_work / "dump\\aaa-notes.txt";
  ASSERT_TRUE(CreateDirectoryA((m_work / "dump").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(notes, "old notes"));
  ASSERT_TRUE(SetFileAttributesA(notes.c_str(), FILE_ATTRIBUTE_READONLY));

  const RunResult run = RunLumvane({"dump.bin"}, m_work.path(), m_logs);
  EXPECT_EQ(run.out, Crlf(Analyse(input) + Dumped(2, m_work / "dump") + "\n " +
                          SystemText(ERROR_ACCESS_DENIED) + " " + notes + "\n\n" + kPrompt));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 1u);
  for (std::size_t i = 0; i < ranges.size(); ++i)
    EXPECT_EQ(ReadFileBytes(m_work / ("dump\\0" + std::to_string(i) + ".png")),
              Slice(bytes, ranges[i]));
  EXPECT_EQ(ReadFileBytes(notes), "old notes");
  ASSERT_TRUE(SetFileAttributesA(notes.c_str(), FILE_ATTRIBUTE_NORMAL));
}

// A file of the output folder by its UTF-16 name.
bool WriteWide(const std::string& folder, const std::wstring& name, const char* bytes) {
  const int size = MultiByteToWideChar(CP_ACP, 0, folder.c_str(), -1, nullptr, 0);
  std::wstring path(static_cast<size_t>(size > 0 ? size - 1 : 0), L'\0');
  MultiByteToWideChar(CP_ACP, 0, folder.c_str(), -1, path.data(), size);
  path += L"\\" + name;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes, static_cast<DWORD>(std::strlen(bytes)), &written, nullptr);
  CloseHandle(file);
  return ok && written == std::strlen(bytes);
}

// Old files named outside the ANSI code page (and inside it): the emptying
// lists and deletes them by the names the system holds, so the folder holds
// the images alone. A read-only one is named in the message as the console
// can show it: the code page's characters as they are, any other as \uXXXX,
// control characters as \xNN.
TEST_F(LumvaneWindowsRun, OldFilesOfAnyNameAreDeletedAndNamedAsTheConsoleShowsThem) {
  const std::string input = m_work / "dump.bin", dump = m_work / "dump";
  std::vector<pngdraw::Range> ranges;
  const pngdraw::Bytes bytes = WriteSample(input, 2, &ranges);
  ASSERT_TRUE(CreateDirectoryA(dump.c_str(), nullptr));
  for (const std::wstring& name :
       {std::wstring(L"\u65e5\u672c.txt"), std::wstring(L"\u03a9mega.txt"),
        std::wstring(L"\uff10\uff15.png"), std::wstring(L"r\u00e9sum\u00e9.txt"),
        std::wstring(L"\U0001F600.txt")})
    ASSERT_TRUE(WriteWide(dump, name, "old")) << name.size();
  RunResult run = RunLumvane({"dump.bin"}, m_work.path(), m_logs);
  EXPECT_EQ(run.out, Crlf(Analyse(input) + Dumped(2, dump) + kPrompt));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0u);
  ExpectImages(dump, bytes, ranges);

  // é is a character of code page 1252 (Wine's and western Windows'); the
  // others are not.
  ASSERT_TRUE(WriteWide(dump, L"a\u03a9-r\u00e9sum\u00e9-\u65e5.txt", "old"));
  const std::string shown = GetACP() == 1252 ? "a\\u03a9-r\xe9sum\xe9-\\u65e5.txt" : "";
  std::wstring wide = L"\\\\?\\";
  {
    const std::string path = dump + "\\a";
    wide += std::wstring(path.begin(), path.end()) + L"\u03a9-r\u00e9sum\u00e9-\u65e5.txt";
  }
  ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_READONLY));
  run = RunLumvane({"dump.bin"}, m_work.path(), m_logs);
  if (!shown.empty()) {
    EXPECT_EQ(run.out,
              Crlf(Analyse(input) + Dumped(2, dump) + "\n " + SystemText(ERROR_ACCESS_DENIED) +
                   " " + dump + "\\" + shown + "\n\n" + kPrompt));
  }
  EXPECT_EQ(run.status, 1u);
  ASSERT_TRUE(SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL));
}

// Standard output is a pipe whose reader is gone: every image is written all
// the same, and the failure of standard output is said on standard error,
// status 1.
TEST_F(LumvaneWindowsRun, AConsoleThatWentAwayDoesNotStopTheCarving) {
  const std::string input = m_work / "dump.bin";
  std::vector<pngdraw::Range> ranges;
  const pngdraw::Bytes bytes = WriteSample(input, 3, &ranges);
  const RunResult run = RunLumvane({"dump.bin"}, m_work.path(), m_logs, Stdout::BrokenPipe);
  EXPECT_EQ(run.err, Crlf("\n Console Write Failed!\n\n"));
  EXPECT_EQ(run.status, 1u);
  ExpectImages(m_work / "dump", bytes, ranges);
}

// The output folder's name is a link to a folder outside: that folder is
// neither emptied nor filled; the run refuses before it touches anything.
TEST_F(LumvaneWindowsRun, AnOutputFolderThatIsALinkIsRefused) {
  const std::string input = m_work / "dump.bin";
  WriteSample(input, 3, nullptr);
  ASSERT_TRUE(CreateDirectoryA((m_work / "docs").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(m_work / "docs\\letter.txt", "keep me"));
  ASSERT_TRUE(MakeSymbolicLink(m_work.path(), "docs", "dump", true));

  const RunResult run = RunLumvane({"dump.bin"}, m_work.path(), m_logs);
  EXPECT_EQ(run.out, Crlf(Analyse(input) + "\n Output folder refused: " + (m_work / "dump") +
                          " is a link.\n\n" + kPrompt));
  EXPECT_EQ(run.status, 1u);
  EXPECT_EQ(ReadFileBytes(m_work / "docs\\letter.txt"), "keep me");
  EXPECT_FALSE(IsFile(m_work / "docs\\00.png"));
  EXPECT_TRUE(RemoveSymbolicLink(m_work.path(), "dump"));

  // A link to nothing: Wine shows no such name at all, yet cannot make the
  // folder there. Refused all the same (once the images are counted: only
  // making the folder tells), and nothing is made where it leads.
  // Made by the host's ln, and known made once its marker is there: Wine
  // shows the link itself as nothing.
  const bool linked =
      RunHostCommand(m_work.path(), "/bin/sh -c \"ln -s nowhere/deeper dump && : >linked\"",
                     m_work / "linked", true) ||
      CreateSymbolicLinkA((m_work / "dump").c_str(), "nowhere\\deeper",
                          SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2 /* unprivileged */);
  ASSERT_TRUE(linked);
  DeleteFileA((m_work / "linked").c_str());
  const RunResult dangling = RunLumvane({"dump.bin"}, m_work.path(), m_logs);
  EXPECT_EQ(dangling.out, Crlf(Analyse(input) + Total(3) + "\n Output folder refused: " +
                               (m_work / "dump") + " is a link.\n\n" + kPrompt));
  EXPECT_EQ(dangling.status, 1u);
  EXPECT_FALSE(IsDirectory(m_work / "nowhere"));
  EXPECT_TRUE(RemoveSymbolicLink(m_work.path(), "dump"));
}

// Old files the emptying cannot delete, each alone in the output folder: a
// link named 00.png to a file outside, and a read-only 00.png. Creating
// 00.png must not write through the link nor into the read-only file (the
// suite runs as root, whom Wine lets write it).
TEST_F(LumvaneWindowsRun, AnImageIsNeverWrittenThroughALinkOrIntoAReadOnlyFile) {
  const std::string input = m_work / "dump.bin", dump = m_work / "dump";
  WriteSample(input, 3, nullptr);
  ASSERT_TRUE(CreateDirectoryA((m_work / "outside").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(m_work / "outside\\notes.txt", "keep me"));
  const std::string failed =
      Crlf(Analyse(input) + Dumped(3, dump, 0) + "\n File create Failed!\n\n" + kPrompt);
  for (const bool link : {true, false}) {
    ASSERT_TRUE(CreateDirectoryA(dump.c_str(), nullptr));
    if (link) {
      ASSERT_TRUE(MakeSymbolicLink(dump, "../outside/notes.txt", "00.png"));
    } else {
      ASSERT_TRUE(WriteFileBytes(dump + "\\00.png", "old bytes"));
      ASSERT_TRUE(SetFileAttributesA((dump + "\\00.png").c_str(), FILE_ATTRIBUTE_READONLY));
    }
    const RunResult run = RunLumvane({"dump.bin"}, m_work.path(), m_logs);
    EXPECT_EQ(run.out, failed) << (link ? "link" : "read-only");
    EXPECT_EQ(run.status, 1u);
    EXPECT_EQ(ReadFileBytes(m_work / "outside\\notes.txt"), "keep me");
    if (link) {
      ASSERT_TRUE(RemoveSymbolicLink(dump, "00.png"));
    } else {
      EXPECT_EQ(ReadFileBytes(dump + "\\00.png"), "old bytes");
    }
    RemoveTree(dump);
  }
}

// An output folder name that Windows would spell otherwise: "photos." is
// read as "photos", "photos " too. (A device name such as "nul.tar" comes
// only from an input that is a device name itself, which cannot be opened
// as a file.) Refused before
// anything is made or deleted; the folder of the other spelling keeps its
// files.
TEST_F(LumvaneWindowsRun, AnOutputFolderNameWindowsWouldChangeIsRefused) {
  ASSERT_TRUE(CreateDirectoryA((m_work / "photos").c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(m_work / "photos\\holiday.jpg", "keep me"));
  for (const std::string name : {"photos..bin", "photos .bin"}) {
    const std::string input = m_work / name;
    WriteSample(input, 2, nullptr);
    const std::string folder = input.substr(0, input.rfind('.'));
    const RunResult run = RunLumvane({name}, m_work.path(), m_logs);
    EXPECT_EQ(run.out, Crlf(Analyse(input) + "\n Output folder refused: " + folder +
                            " is a name Windows would change.\n\n" + kPrompt))
        << name;
    EXPECT_EQ(run.status, 1u) << name;
    EXPECT_TRUE(DeleteFileA(input.c_str())) << name;
  }
  EXPECT_EQ(ReadFileBytes(m_work / "photos\\holiday.jpg"), "keep me");
  EXPECT_EQ(FilesIn(m_work / "photos").GetSize(), 1);
  EXPECT_EQ(FilesIn(m_work.path()).GetSize(), 0);  // no folder or image made beside them either
}

// A process of the host swaps the output folder for a link to a folder of
// other files while the run empties it (nothing stops a host rename under
// Wine; on Windows the held folder cannot be renamed at all). Whatever the
// timing, the run empties and fills the folder it held, now dump.real; the
// folder the link leads to keeps its files and gets no image.
TEST_F(LumvaneWindowsRun, SwappingTheFolderForALinkWhileItIsEmptiedChangesNothingOutside) {
  constexpr int kOldFiles = 4000;
  const std::string input = m_work / "dump.bin", dump = m_work / "dump";
  std::vector<pngdraw::Range> ranges;
  const pngdraw::Bytes bytes = WriteSample(input, 3, &ranges);
  ASSERT_TRUE(CreateDirectoryA(dump.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((m_work / "other").c_str(), nullptr));
  for (int i = 0; i < 100; ++i)
    ASSERT_TRUE(WriteFileBytes(m_work / ("other\\keep" + std::to_string(i)), "keep me"));
  for (int i = 0; i < kOldFiles; ++i)
    ASSERT_TRUE(WriteFileBytes(dump + "\\old" + std::to_string(i), ""));
  // Waits, a bounded number of looks, until one of three old files is gone.
  ASSERT_TRUE(win32test::StartHostCommand(
      m_work.path(),
      "/bin/sh -c \"n=0; while [ -e dump/old0 ] && [ -e dump/old2000 ] && [ -e dump/old3999 ] "
      "&& [ $n -lt 5000000 ]; do n=$((n+1)); done; mv dump dump.real && ln -s other dump\""));

  const RunResult run = RunLumvane({"dump.bin"}, m_work.path(), m_logs);
  const std::string moved = m_work / "dump.real";
  for (int look = 0; look < 6000 && !IsDirectory(moved); ++look) Sleep(10);
  ASSERT_TRUE(IsDirectory(moved)) << "the host never swapped the folder";
  // The images are in the held folder. Under Wine, once the host renamed it,
  // the held folder's path and its files' paths disagree, so the emptying
  // refuses the next old file and stops: old files may remain beside them,
  // and then the run says so after the images and fails.
  for (std::size_t i = 0; i < ranges.size(); ++i)
    EXPECT_EQ(ReadFileBytes(moved + "\\0" + std::to_string(i) + ".png"), Slice(bytes, ranges[i]));
  CStringArray files = FilesIn(moved);
  bool oldFilesLeft = false;
  for (INT_PTR i = 0; i < files.GetSize(); ++i) {
    const std::string name = files[i].GetString();
    if (name.rfind("old", 0) == 0) oldFilesLeft = true;
    EXPECT_TRUE(name.rfind("old", 0) == 0 || name == "00.png" || name == "01.png" ||
                name == "02.png")
        << name;
  }
  const std::string dumped = Crlf(Analyse(input) + Dumped(3, dump));
  if (oldFilesLeft) {
    EXPECT_EQ(run.out.substr(0, dumped.size()), dumped);
    // The disk object's text: the system's message and the old file.
    EXPECT_NE(run.out.find(" " + dump + "\\old", dumped.size()), std::string::npos) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - Crlf(kPrompt).size()), Crlf(kPrompt));
    EXPECT_EQ(run.status, 1u);
  } else {
    EXPECT_EQ(run.out, dumped + Crlf(kPrompt));
    EXPECT_EQ(run.status, 0u);
  }
  EXPECT_EQ(FilesIn(m_work / "other").GetSize(), 100);
  EXPECT_EQ(ReadFileBytes(m_work / "other\\keep7"), "keep me");
  EXPECT_EQ(FilesIn(m_work.path()).GetSize(), 1);  // dump.bin alone: no image beside the input
  EXPECT_TRUE(RemoveSymbolicLink(m_work.path(), "dump"));
}

// --list names the files a run writes and their byte ranges, and writes,
// makes and waits for nothing; the run then writes exactly those.
TEST_F(LumvaneWindowsRun, ListingNamesWhatTheRunWrites) {
  const std::string input = m_work / "dump.bin";
  std::vector<list_sample::Expected> expected;
  const pngdraw::Bytes bytes = list_sample::MakeSample(expected);
  ASSERT_TRUE(WriteFileBytes(input, bytes));

  const RunResult list = RunLumvane({"--list", "dump.bin"}, m_work.path(), m_logs);
  EXPECT_EQ(list.status, 0u) << list.err;
  EXPECT_EQ(list.err, "");
  EXPECT_FALSE(IsDirectory(m_work / "dump"));
  std::vector<list_sample::Row> rows;
  ASSERT_TRUE(list_sample::ParseListing(list.out, rows)) << list.out;
  ASSERT_EQ(rows.size(), expected.size()) << list.out;
  std::vector<pngdraw::Range> ranges;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].offset, expected[i].range.start) << rows[i].name;
    EXPECT_EQ(rows[i].end, expected[i].end) << rows[i].name;
    EXPECT_EQ(rows[i].health, expected[i].health) << rows[i].name;
    ranges.push_back({rows[i].offset, rows[i].offset + rows[i].length});
  }

  const RunResult run = RunLumvane({"dump.bin"}, m_work.path(), m_logs);
  EXPECT_EQ(run.status, 0u) << run.out;
  ExpectImages(m_work / "dump", bytes, ranges);

  const RunResult version = RunLumvane({"--version"}, m_work.path(), m_logs);
  EXPECT_EQ(version.out, Crlf("Lumvane Version 2.01-bld-060413\n"));
  EXPECT_EQ(version.status, 0u);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc > 1) {
    g_lumvane = argv[1];
    // Under Wine the build names the program by its host path; the host's
    // root is Wine's drive Z:.
    if (!g_lumvane.empty() && g_lumvane[0] == '/') g_lumvane = "Z:" + g_lumvane;
    for (char& c : g_lumvane)
      if (c == '/') c = '\\';
  }
  return RUN_ALL_TESTS();
}
