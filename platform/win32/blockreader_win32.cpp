// SPDX-License-Identifier: MIT
#include "platform/blockreader.h"

// A mapped view raises an exception, not an error, when a page cannot be
// read; without structured exception handling that would end the process,
// so Windows reads into the buffer.
bool CBlockReader::MapWindow() { return false; }

bool CBlockReader::UnmapWindow(bool /*last*/) { return true; }

BOOL CBlockReader::CheckFault() { return TRUE; }
