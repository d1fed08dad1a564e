// SPDX-License-Identifier: MIT
// End-to-end runs of the built lumvane binary in a temporary folder, with
// standard input from /dev/null: the exact bytes on standard output and
// standard error, the exit status, and the files left behind.
#include "testdata/pngdraw.h"
#include "tests/support/cached_pages.h"
#include "tests/support/file_bytes.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/transcript.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = pngdraw::Bytes;

using transcript::Analyse;
using transcript::kBanner;
using transcript::kPrompt;
using transcript::SavedTo;
using transcript::Total;

class LumvaneRun : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = m_tmp.MakeDir("work"); }

  // Runs lumvane with args in cwd; stdin from /dev/null unless closeStdin.
  static ProgramRun Lumvane(const std::vector<std::string>& args, const fs::path& cwd,
                            bool closeStdin = false) {
    std::vector<std::string> argv{LUMVANE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions options;
    options.cwd = cwd.string();
    options.close_stdin = closeStdin;
    return RunProgram(argv, options);
  }

  static std::set<std::string> Names(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
  }

  // Checks that dir holds exactly NN.png for every range, each equal to its bytes.
  static void ExpectImages(const fs::path& dir, const Bytes& input,
                           const std::vector<pngdraw::Range>& ranges) {
    std::set<std::string> want;
    for (size_t i = 0; i < ranges.size(); ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "%02zu.png", i);
      want.insert(name);
      const std::string got = ReadFileBytes(dir / name);
      const std::string expected(input.begin() + static_cast<std::ptrdiff_t>(ranges[i].start),
                                 input.begin() + static_cast<std::ptrdiff_t>(ranges[i].end));
      EXPECT_TRUE(got == expected)
          << name << ": " << got.size() << " bytes, expected " << expected.size();
    }
    EXPECT_EQ(Names(dir), want);
  }

  TempDir m_tmp;
  const fs::path m_root = m_tmp.path();
  fs::path m_dir;
};

TEST_F(LumvaneRun, NormalRunWritesEveryImageByteForByte) {
  std::vector<pngdraw::Range> ranges;
  const Bytes input = pngdraw::MakeJunkWithPictures(7, 3, &ranges);
  WriteFileBytes(m_dir / "dump.bin", input);

  const ProgramRun r = Lumvane({"dump.bin", "ignored"}, m_dir);
  EXPECT_EQ(r.out,
            Analyse(m_dir / "dump.bin") + Total(3) + SavedTo(m_dir / "dump") + "..." + kPrompt);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  ExpectImages(m_dir / "dump", input, ranges);

  // With a separator the argument is used as typed: relative, then absolute;
  // files from the earlier run (07.png, anything else) do not survive.
  WriteFileBytes(m_dir / "dump" / "07.png", Bytes(5, 'x'));
  WriteFileBytes(m_dir / "dump" / "notes.txt", Bytes(5, 'x'));
  const ProgramRun rel = Lumvane({"work/dump.bin"}, m_root);
  EXPECT_EQ(rel.out, Analyse("work/dump.bin") + Total(3) + SavedTo("work/dump") + "..." + kPrompt);
  EXPECT_EQ(rel.status, 0);
  ExpectImages(m_dir / "dump", input, ranges);

  const ProgramRun abs = Lumvane({(m_dir / "dump.bin").string()}, "/");
  EXPECT_EQ(abs.out,
            Analyse(m_dir / "dump.bin") + Total(3) + SavedTo(m_dir / "dump") + "..." + kPrompt);
  EXPECT_EQ(abs.status, 0);
  ExpectImages(m_dir / "dump", input, ranges);
}

TEST_F(LumvaneRun, NoArgumentShowsTheUsage) {
  const ProgramRun r = Lumvane({}, m_dir);
  EXPECT_EQ(r.out, kBanner + kPrompt);
  EXPECT_EQ(r.err, "\n Usage:\n\n      Lumvane.exe FILE\n\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(LumvaneRun, FailedStartUpSkipsThePrompt) {
  const ProgramRun r = Lumvane({"dump.bin"}, m_dir, /*closeStdin=*/true);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(r.err, " Fatal Error: MFC initialization failed\n");
  EXPECT_EQ(r.status, 1);
}

TEST_F(LumvaneRun, UnreadableInputsTouchNothing) {
  fs::create_directory(m_dir / "folder.d");
  WriteFileBytes(m_dir / "folder.d" / "keep.png", Bytes(3, 'k'));
  fs::create_directory(m_dir / "missing");  // would be the output folder of missing.bin
  WriteFileBytes(m_dir / "missing" / "keep.png", Bytes(3, 'k'));
  for (const auto& [name, reason] :
       {std::pair{"missing.bin", ENOENT}, std::pair{"folder.d", EISDIR}}) {
    const ProgramRun r = Lumvane({name}, m_dir);
    EXPECT_EQ(r.out, Analyse(m_dir / name) + "\n File Open Failed!\n\n" + kPrompt) << name;
    // Why, on standard error: the path and the system's reason.
    EXPECT_EQ(r.err, "lumvane: " + (m_dir / name).string() + ": " + std::strerror(reason) + "\n");
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_EQ(Names(m_dir), (std::set<std::string>{"folder.d", "missing"}));
  EXPECT_EQ(Names(m_dir / "folder.d"), std::set<std::string>{"keep.png"});
  EXPECT_EQ(Names(m_dir / "missing"), std::set<std::string>{"keep.png"});
}

TEST_F(LumvaneRun, NoImageFoundCreatesNothing) {
  WriteFileBytes(m_dir / "junk.bin", Bytes(70000, 'j'));
  const ProgramRun r = Lumvane({"junk.bin"}, m_dir);
  EXPECT_EQ(r.out, Analyse(m_dir / "junk.bin") + Total(0) + kPrompt);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Names(m_dir), std::set<std::string>{"junk.bin"});
}

// A name without an extension, or whose stem is empty or only dots, makes the
// output folder the input file itself: refused before the input is read,
// nothing is created or deleted.
TEST_F(LumvaneRun, NamesWithoutExtensionFailSafely) {
  const Bytes input = pngdraw::MakeJunkWithPictures(3, 2, nullptr);
  for (const char* name : {"dump", ".dat", "..bin", "...bin"}) {
    WriteFileBytes(m_dir / name, input);
    WriteFileBytes(m_dir / "other.txt", Bytes(4, 'o'));
    const ProgramRun r = Lumvane({name}, m_dir);
    EXPECT_EQ(r.out, Analyse(m_dir / name) + "\n Output folder refused: " +
                         (m_dir / name).string() + " is not a folder.\n\n" + kPrompt)
        << name;
    EXPECT_EQ(r.err, "lumvane: " + (m_dir / name).string() + ": " + std::strerror(ENOTDIR) + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Names(m_dir), (std::set<std::string>{name, "other.txt"})) << name;
    EXPECT_TRUE(ReadFileBytes(m_dir / name) == std::string(input.begin(), input.end()));
    fs::remove(m_dir / name);
  }
}

// Names with a terminal's control sequences (clear the screen, set the
// window's title) and a byte that is no UTF-8: every name the run prints
// goes out with those as \xNN, on standard output and standard error alike;
// UTF-8 text stays as it is.
TEST_F(LumvaneRun, EveryNameItPrintsIsEscaped) {
  const std::string stem = "x\x1b[2J\x1b]0;pwned\x07-\xff-\xc3\xa9";
  const std::string shown = "x\\x1b[2J\\x1b]0;pwned\\x07-\\xff-\xc3\xa9";
  std::vector<pngdraw::Range> ranges;
  const Bytes input = pngdraw::MakeJunkWithPictures(5, 2, &ranges);
  WriteFileBytes(m_dir / (stem + ".bin"), input);
  const ProgramRun r = Lumvane({stem + ".bin"}, m_dir);
  EXPECT_EQ(r.out, Analyse((m_dir / shown).string() + ".bin") + Total(2) + SavedTo(m_dir / shown) +
                       ".." + kPrompt);
  EXPECT_EQ(r.status, 0);
  ExpectImages(m_dir / stem, input, ranges);

  // Refused: the output folder's name is taken by a file.
  fs::remove_all(m_dir / stem);
  WriteFileBytes(m_dir / stem, Bytes(3, 'f'));
  const ProgramRun refused = Lumvane({stem + ".bin"}, m_dir);
  EXPECT_EQ(refused.out, Analyse((m_dir / shown).string() + ".bin") + "\n Output folder refused: " +
                             (m_dir / shown).string() + " is not a folder.\n\n" + kPrompt);
  EXPECT_EQ(refused.err,
            "lumvane: " + (m_dir / shown).string() + ": " + std::strerror(ENOTDIR) + "\n");
  EXPECT_EQ(refused.status, 1);

  // Failed: the input is a folder.
  fs::remove(m_dir / stem);
  fs::remove(m_dir / (stem + ".bin"));
  fs::create_directory(m_dir / (stem + ".bin"));
  const ProgramRun failed = Lumvane({stem + ".bin"}, m_dir);
  EXPECT_EQ(failed.err,
            "lumvane: " + (m_dir / shown).string() + ".bin: " + std::strerror(EISDIR) + "\n");
  EXPECT_EQ(failed.status, 1);
}

TEST_F(LumvaneRun, TheHundredAndFirstImageIsNamed100) {
  Bytes input;
  std::vector<pngdraw::Range> ranges;
  for (unsigned i = 0; i < 101; ++i) {
    input.insert(input.end(), {'j', 'u', 'n', 'k'});
    const Bytes png = pngdraw::MakePicture(i, 4 + i % 5, 4);
    ranges.push_back({input.size(), input.size() + png.size()});
    input.insert(input.end(), png.begin(), png.end());
  }
  WriteFileBytes(m_dir / "many.raw", input);
  const ProgramRun r = Lumvane({"many.raw"}, m_dir);
  EXPECT_EQ(r.out, Analyse(m_dir / "many.raw") + Total(101) + SavedTo(m_dir / "many") +
                       std::string(101, '.') + kPrompt);
  EXPECT_EQ(r.status, 0);
  ExpectImages(m_dir / "many", input, ranges);
  EXPECT_TRUE(fs::exists(m_dir / "many" / "100.png"));
}

// An image without its IEND runs up to the next image; the last image, cut
// off by the end of the input, is written as far as the input goes.
TEST_F(LumvaneRun, UnpairedAndCutOffImages) {
  Bytes input(10, 'j');
  const Bytes a = pngdraw::MakePicture(0, 6, 6), b = pngdraw::MakePicture(1, 7, 7);
  input.insert(input.end(), a.begin(), a.end() - 12);  // no IEND chunk
  const uint64_t s1 = input.size();
  input.insert(input.end(), b.begin(), b.end() - 2);  // CRC cut off
  WriteFileBytes(m_dir / "cut.img", input);
  const ProgramRun r = Lumvane({"cut.img"}, m_dir);
  EXPECT_EQ(r.status, 0);
  ExpectImages(m_dir / "cut", input, {{10, s1}, {s1, input.size()}});
}

// One damaged image must not empty the intact images stored right after it:
// the chunk that ends exactly where the next image begins is not that image's
// end. Each damaged image is followed by three intact ones, back to back.
TEST_F(LumvaneRun, ADamagedImageLeavesTheImagesAfterItWhole) {
  const Bytes first = pngdraw::MakePicture(0, 5, 5);
  // A tEXt chunk right after IHDR whose text holds a zero length and "IEND".
  Bytes withText(first.begin(), first.begin() + 33);
  const Bytes text = {'t', 'E', 'X', 't', 'C', 'o', 'm', 'm', 'e', 'n', 't',
                      0,   0,   0,   0,   0,   'I', 'E', 'N', 'D', 'x'};
  const uint32_t dataLength = static_cast<uint32_t>(text.size() - 4);
  withText.insert(withText.end(), {0, 0, 0, static_cast<unsigned char>(dataLength)});
  withText.insert(withText.end(), text.begin(), text.end());
  const uint32_t crc = pngdraw::Crc32(text.data(), text.size());
  for (int shift : {24, 16, 8, 0}) withText.push_back(static_cast<unsigned char>(crc >> shift));
  withText.insert(withText.end(), first.begin() + 33, first.end());
  // Length, type, "Comment" and its zero, the zero length, then "IEND" + 8.
  const uint64_t falseEnd = 33 + 4 + 4 + 8 + 4 + 8;

  Bytes badSignature = first;
  badSignature[0] = 0x88;
  const Bytes shortCRC(first.begin(), first.end() - 2);

  struct Case {
    const char* name;
    Bytes damaged;
    uint64_t firstEnd;  // 0: the damaged image is found nowhere
  };
  const Case cases[] = {
      {"signature", badSignature, 0},
      {"text", withText, falseEnd},
      {"crc", shortCRC, shortCRC.size()},  // unpaired: runs up to the next image
  };
  for (const Case& c : cases) {
    Bytes input = c.damaged;
    std::vector<pngdraw::Range> ranges;
    if (c.firstEnd != 0) ranges.push_back({0, c.firstEnd});
    for (unsigned i = 1; i <= 3; ++i) {
      const Bytes png = pngdraw::MakePicture(i, 5, 5);
      ranges.push_back({input.size(), input.size() + png.size()});
      input.insert(input.end(), png.begin(), png.end());
    }
    const std::string file = std::string(c.name) + ".bin";
    WriteFileBytes(m_dir / file, input);
    const ProgramRun r = Lumvane({file}, m_dir);
    const int n = static_cast<int>(ranges.size());
    EXPECT_EQ(r.out, Analyse(m_dir / file) + Total(n) + SavedTo(m_dir / c.name) +
                         std::string(static_cast<size_t>(n), '.') + kPrompt)
        << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
    ExpectImages(m_dir / c.name, input, ranges);
  }
}

// Occurrences that cross read boundaries are found, in a file whose length
// is an exact multiple of the read sizes and that ends with an image.
TEST_F(LumvaneRun, ImagesAcrossReadBoundaries) {
  Bytes input(4 * 65536, 'j');
  const Bytes a = pngdraw::MakePicture(0, 6, 6), b = pngdraw::MakePicture(1, 5, 5),
              c = pngdraw::MakePicture(2, 7, 7);
  const size_t bStart = 2 * 65536 - 3 + 8 - b.size();  // its IEND tag starts 3 bytes before 131,072
  const std::vector<pngdraw::Range> ranges = {{65530, 65530 + a.size()},
                                              {bStart, bStart + b.size()},
                                              {input.size() - c.size(), input.size()}};
  for (size_t i = 0; i < 3; ++i) {
    const Bytes& png = i == 0 ? a : i == 1 ? b : c;
    std::copy(png.begin(), png.end(), input.begin() + static_cast<std::ptrdiff_t>(ranges[i].start));
  }
  WriteFileBytes(m_dir / "edges.bin", input);
  const ProgramRun r = Lumvane({"edges.bin"}, m_dir);
  EXPECT_EQ(r.status, 0);
  ExpectImages(m_dir / "edges", input, ranges);
}

// An input out of the system's cache on a disk is read around the cache,
// its images too, and the cache is left as it was; the same input on tmpfs
// (all in memory) is read through it. The images, the output and the
// status are the same either way. Images lie across the direct reads'
// blocks and alignment, and the input ends off it.
TEST_F(LumvaneRun, AColdInputIsReadAroundTheCacheAndLeftOutOfIt) {
  const size_t block = 512 * 1024;
  Bytes input(12 * block + 1234);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<unsigned char>(i * 29 + i / 777);
  std::vector<pngdraw::Range> ranges;
  const size_t starts[] = {100, block - 40, 5 * block + 4095, 11 * block - 7};
  for (size_t k = 0; k < 4; ++k) {
    const Bytes png =
        pngdraw::MakePicture(static_cast<unsigned>(k), 40 + 30 * static_cast<uint32_t>(k), 9);
    std::copy(png.begin(), png.end(), input.begin() + static_cast<std::ptrdiff_t>(starts[k]));
    ranges.push_back({starts[k], starts[k] + png.size()});
  }
  for (const char* base : {"/var/tmp", "/dev/shm"}) {
    TempDir tmp(base);
    const fs::path dir = tmp.MakeDir("work");
    const std::string path = (dir / "cold.bin").string();
    WriteFileBytes(path, input);
    ASSERT_TRUE(EvictFromCache(path));
    const ProgramRun r = Lumvane({"cold.bin"}, dir);
    EXPECT_EQ(r.out,
              Analyse(dir / "cold.bin") + Total(4) + SavedTo(dir / "cold") + "...." + kPrompt);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    ExpectImages(dir / "cold", input, ranges);
    if (std::string(base) == "/var/tmp") {
      EXPECT_EQ(CachedPages(path, input.size()), 0u);
    }
  }
}

}  // namespace
