// SPDX-License-Identifier: MIT
#include "platform/afx.h"

namespace {
CWinApp* g_pCurrentApp = nullptr;
}

CWinApp::CWinApp(LPCTSTR appName) : m_appName(appName) { g_pCurrentApp = this; }

CWinApp::~CWinApp() {
  if (g_pCurrentApp == this) g_pCurrentApp = nullptr;
}

CWinApp* AfxGetApp() { return g_pCurrentApp; }
