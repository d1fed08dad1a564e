// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "platform/afx.h"

TEST(CWinApp, AfxGetAppFollowsTheLiveObject) {
  EXPECT_EQ(AfxGetApp(), nullptr);
  {
    CWinApp app;
    EXPECT_EQ(AfxGetApp(), &app);
    EXPECT_TRUE(app.m_appName.IsEmpty());
  }
  EXPECT_EQ(AfxGetApp(), nullptr);
}

TEST(AfxWinInit, SucceedsWithTheStandardStreamsOpen) {
  CWinApp app;
  EXPECT_TRUE(AfxWinInit(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), 0));
  EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
}
