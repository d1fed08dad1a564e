// SPDX-License-Identifier: MIT
// A status window that records every text it is given, in order.
#pragma once

#include <string>
#include <vector>

#include "platform/afx.h"

class RecordingWnd : public CWnd {
 public:
  void SetWindowTextA(LPCTSTR text) override { texts.emplace_back(text ? text : ""); }
  std::vector<std::string> texts;
};
