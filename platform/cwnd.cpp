// SPDX-License-Identifier: MIT
#include "platform/afx.h"

CWnd::~CWnd() = default;

void CWnd::SetWindowTextA(LPCTSTR text) { m_text = text; }
