// SPDX-License-Identifier: MIT
// The writer's output folder (g_strOutputDir, lumvane.h): checked before the
// input is read (CheckOutputFolder), then made, checked again and emptied,
// and held by handle while the images are written into it.
#pragma once

#include "platform/afx.h"
#include "platform/folder.h"

// The output folder as DumpPNGs writes into it: held by handle from its
// checks to the last image, or closed when it could not be made or opened
// (error then says why).
struct COutputFolder {
  CFolder folder;
  DWORD error = ERROR_SUCCESS;
  CString emptyingFailure;  // the disk object's text when emptying it failed
};

// Makes, checks and empties the output folder, for the input named
// inputName (as typed), with DumpPNGs' refusals (lumvane.h). FALSE after
// writing a refusal (nothing deleted then); TRUE otherwise, also when the
// folder could not be made or emptied (out says so: a closed folder with
// its error, or the disk object's text; reported when the images are
// written).
BOOL PrepareOutputFolder(COutputFolder& out, LPCTSTR inputName);
