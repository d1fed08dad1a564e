// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "platform/afx.h"

TEST(AfxWinInit, SucceedsWithTheStandardStreamsOpen) {
  CWinApp app;
  EXPECT_TRUE(AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0));
  EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
}
