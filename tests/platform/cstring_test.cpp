// SPDX-License-Identifier: MIT
#include <string>

#include <gtest/gtest.h>

#include "platform/afx.h"
#include "tests/support/recording_wnd.h"
#include "tests/platform/test_strings.h"

// The program's string table for these tests.
const char* AfxLookupString(UINT id) {
  switch (id) {
    case 2:
      return TEST_STRING_2;
    default:
      return nullptr;
  }
}

TEST(CString, CountsBytesAndKeepsZeroBytes) {
  const CString s("ab\0cd", 5);
  EXPECT_EQ(s.GetLength(), 5);
  EXPECT_EQ(s.GetAt(3), 'c');
  EXPECT_STREQ(static_cast<LPCTSTR>(s), "ab");  // the C view ends at the zero
  EXPECT_EQ(CString(nullptr).GetLength(), 0);
  EXPECT_TRUE(CString().IsEmpty());
  EXPECT_EQ(CString('-', 3), "---");
}

TEST(CString, SubstringsClampToTheString) {
  const CString s("abcdef");
  EXPECT_EQ(s.Left(2), "ab");
  EXPECT_EQ(s.Left(99), "abcdef");
  EXPECT_EQ(s.Left(-1), "");
  EXPECT_EQ(s.Mid(4), "ef");
  EXPECT_EQ(s.Mid(2, 3), "cde");
  EXPECT_EQ(s.Mid(5, 10), "f");
  EXPECT_EQ(s.Mid(10), "");
  EXPECT_EQ(s.GetAt(6), '\0');
  EXPECT_EQ(s.GetAt(-1), '\0');
}

TEST(CString, FindAndReverseFind) {
  const CString s("a/b/c.d");
  EXPECT_EQ(s.Find('/'), 1);
  EXPECT_EQ(s.Find('/', 2), 3);
  EXPECT_EQ(s.Find('x'), -1);
  EXPECT_EQ(s.ReverseFind('/'), 3);
  EXPECT_EQ(s.ReverseFind('q'), -1);
}

TEST(CString, ReplaceCounts) {
  CString s("a/b//c");
  EXPECT_EQ(s.Replace('/', '\\'), 3);
  EXPECT_EQ(s, "a\\b\\\\c");
}

TEST(CString, TrimRemovesWhiteSpaceAtEitherEnd) {
  CString s(" \t\r\nFile exists\r\n ");
  s.TrimRight();
  EXPECT_EQ(s, " \t\r\nFile exists");
  s.TrimLeft();
  EXPECT_EQ(s, "File exists");
  CString blank(" \r\n");
  blank.Trim();
  EXPECT_TRUE(blank.IsEmpty());
  CString slashes("//a//");
  slashes.TrimLeft("/");
  EXPECT_EQ(slashes, "a//");
}

TEST(CString, FormatHasNoLengthLimit) {
  CString s;
  s.Format("%s\\%02d.png", "dir", 7);
  EXPECT_EQ(s, "dir\\07.png");
  const std::string big(5000, 'x');
  s.Format("[%s]", big.c_str());
  EXPECT_EQ(s.GetLength(), 5002);
  s.Format("%s", "");
  EXPECT_TRUE(s.IsEmpty());
}

TEST(CString, ConcatenationJoinsStringsAndCharacters) {
  CString s("a");
  s += CString("b");
  s += "c";
  s += 'd';
  EXPECT_EQ(s, "abcd");
  EXPECT_EQ(CString("x") + s + "y", "xabcdy");
  EXPECT_EQ(s + '/', "abcd/");
}

TEST(CString, ComparisonIsByByteUpToTheFirstZero) {
  const CString s("abcd");
  EXPECT_TRUE(s != "abc");
  EXPECT_TRUE("abcd" == s);
  EXPECT_TRUE(CString("ab\0cd", 5) == "ab");
  EXPECT_TRUE(CString() == nullptr);
  EXPECT_TRUE(CString("a") < s);
}

TEST(CString, ACopyChangesAlone) {
  const CString s("abcd");
  CString copy(s);
  copy += "e";
  EXPECT_EQ(copy, "abcde");
  EXPECT_EQ(s, "abcd");
}

TEST(CString, BufferAccessForPlatformCalls) {
  CString s("keep");
  char* p = s.GetBuffer(16);
  EXPECT_STREQ(p, "keep");
  p[4] = '!';
  p[5] = '\0';
  s.ReleaseBuffer();
  EXPECT_EQ(s, "keep!");
  s.GetBuffer(10);
  s.ReleaseBuffer(2);
  EXPECT_EQ(s, "ke");
}

TEST(CString, LoadStringReadsTheProgramTable) {
  CString s("old");
  EXPECT_TRUE(s.LoadString(2));
  EXPECT_EQ(s, "\nBanner\n\n");
  EXPECT_FALSE(s.LoadString(3));
  EXPECT_TRUE(s.IsEmpty());
}

TEST(CStringArray, AddsInOrderAndClears) {
  CStringArray a;
  EXPECT_EQ(a.Add("one"), 0);
  EXPECT_EQ(a.Add("two"), 1);
  EXPECT_EQ(a.GetSize(), 2);
  EXPECT_EQ(a[1], "two");
  a[0] = "uno";
  EXPECT_EQ(a[0], "uno");
  a.RemoveAll();
  EXPECT_EQ(a.GetSize(), 0);
}

TEST(CWnd, SubclassSeesEveryTextThroughTheBasePointer) {
  RecordingWnd recorder;
  CWnd* wnd = &recorder;
  wnd->SetWindowTextA("first");
  wnd->SetWindowText("second");
  EXPECT_EQ(recorder.texts, (std::vector<std::string>{"first", "second"}));
  CWnd plain;
  plain.SetWindowTextA("kept");
  EXPECT_EQ(plain.GetWindowTextA(), "kept");
}
