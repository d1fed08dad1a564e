// SPDX-License-Identifier: MIT
// Path qualification and directory creation with Windows spellings, on the
// scratch drive named by LUMVANE_TEST_DRIVE (E: under Wine): drives, UNC
// names, a drive root reported with its backslash.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskobject/DiskObject.h"
#include "tests/support/recording_wnd.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class QualifyWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* drive = std::getenv("LUMVANE_TEST_DRIVE");
    if (drive == nullptr || std::string(drive).size() != 2)
      GTEST_SKIP() << "LUMVANE_TEST_DRIVE names no scratch drive";
    d = drive;
    const std::string tag = "q" +
                            std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                            "-" + std::to_string(std::rand());
    base = d + "\\" + tag;    // plays the part of E:\work or E:\a
    rootName = tag + "-out";  // a name at the root of the drive
    fs::create_directories(base + "\\a\\b\\c");
  }
  void TearDown() override {
    std::error_code ec;
    if (!base.empty()) fs::remove_all(base, ec);
    if (!rootName.empty()) fs::remove_all(d + "\\" + rootName, ec);
  }
  std::string Normalized(const std::string& in) {
    CString path(in.c_str());
    obj.NormalizeDirectoryPath(path);
    return path.str();
  }
  std::string d, base, rootName;
  RecordingWnd wnd;
  CDiskObject obj{&wnd};
};

}  // namespace

TEST_F(QualifyWin32, RelativeAndRootRelativePaths) {
  ScopedCurrentDir cwd(base);
  EXPECT_EQ(Normalized("data/out"), base + "\\data\\out\\");
  EXPECT_EQ(Normalized("data\\out\\"), base + "\\data\\out\\");
  EXPECT_EQ(Normalized(""), base + "\\");
  EXPECT_EQ(Normalized("\\data\\out"), d + "\\data\\out\\");
  EXPECT_EQ(Normalized("\\"), d + "\\");
  EXPECT_EQ(Normalized("...\\x"), base + "\\...\\x\\");
}

TEST_F(QualifyWin32, ParentStepsAndFileNames) {
  {
    ScopedCurrentDir cwd(base + "\\a\\b\\c");
    EXPECT_EQ(Normalized("..\\..\\out"), base + "\\a\\out\\");
    EXPECT_EQ(Normalized(".."), base + "\\a\\b\\");
    EXPECT_EQ(AfxGetCurrentDirectory(), CString((base + "\\a\\b\\c").c_str()));
  }
  ScopedCurrentDir cwd(base + "\\a\\b");
  EXPECT_EQ(Normalized("..\\x\\y.z"), base + "\\a\\x\\y.z\\");
  CString file("..\\x\\y.z");
  obj.ResolveRelativePath(file);
  EXPECT_EQ(file.str(), base + "\\a\\x\\y.z");
}

TEST_F(QualifyWin32, DrivesAndUncNamesStopTheResolution) {
  ScopedCurrentDir cwd(base);
  EXPECT_EQ(Normalized("//server/share/dir"), "\\\\server\\share\\dir\\");
  EXPECT_EQ(Normalized("\\\\"), "\\\\");
  EXPECT_EQ(Normalized(d + "/work"), d + "\\work\\");
  EXPECT_EQ(Normalized(d + "out"), d + "out\\");
}

TEST_F(QualifyWin32, AtADriveRootTheJoinHasTwoBackslashes) {
  ScopedCurrentDir cwd(d + "\\");
  EXPECT_EQ(Normalized(rootName), d + "\\\\" + rootName + "\\");
  // Creating that path makes the folder at the root of the drive; the doubled
  // backslash does not reach the levels.
  ASSERT_TRUE(obj.MakeDirectoryTree(rootName.c_str())) << obj.m_errorText.str();
  EXPECT_EQ(wnd.texts, (std::vector<std::string>{d + "\\" + rootName, d + "\\" + rootName + "\\"}));
  EXPECT_TRUE(fs::is_directory(d + "\\" + rootName));
}

TEST_F(QualifyWin32, MakeTreeLevelsWithDrives) {
  const std::string target = base + "\\a\\new\\deeper";
  ASSERT_TRUE(obj.MakeDirectoryTree(target.c_str()));
  ASSERT_GE(wnd.texts.size(), 4u);
  const std::vector<std::string> tail(wnd.texts.end() - 4, wnd.texts.end());
  EXPECT_EQ(tail,
            (std::vector<std::string>{base + "\\a", base + "\\a\\new", target, target + "\\"}));
  EXPECT_EQ(wnd.texts.front(), d + "\\" + base.substr(3));

  wnd.texts.clear();
  EXPECT_TRUE(obj.MakeDirectoryTree((d + "\\").c_str()));
  EXPECT_EQ(wnd.texts, std::vector<std::string>{d + "\\"});

  // A drive and a relative name: the levels start at the root of the drive.
  wnd.texts.clear();
  ASSERT_TRUE(obj.MakeDirectoryTree((d + rootName).c_str()));
  EXPECT_EQ(wnd.texts, (std::vector<std::string>{d + "\\" + rootName, d + "\\" + rootName + "\\"}));
}

TEST_F(QualifyWin32, PrefixedListingKeepsTheCallersSpelling) {
  std::ofstream(base + "\\a.png") << "x";
  CStringArray files;
  ASSERT_TRUE(obj.ListFiles((base + "\\").c_str(), files, LIST_PREFIXED_NAMES));
  ASSERT_EQ(files.GetSize(), 1);
  EXPECT_EQ(files[0].str(), base + "\\a.png");
}
