// SPDX-License-Identifier: MIT
// What the tool may know about the terminal its user watches, and a clock to
// pace what it draws there. Implemented per platform
// (platform/posix/terminal_posix.cpp, platform/win32/terminal_win32.cpp).
// Nothing here changes the state of any stream or console.
#pragma once

#include "platform/afx.h"

// TRUE when standard error is a terminal: a tty on POSIX, a console on Windows
// (a file, a pipe or the null device is none, on either).
BOOL AfxIsErrorTerminal();

// TRUE when the terminal on standard error understands a carriage return
// followed by ESC [ K (erase to the end of the line): on POSIX every terminal
// but TERM=dumb, on Windows a console with virtual-terminal processing
// already on. FALSE when standard error is no terminal.
BOOL AfxErrorTerminalErasesLine();

// The width in columns of the terminal on standard error; 80 when that is no
// terminal or it does not tell its width.
int AfxGetErrorTerminalColumns();

// Milliseconds on a clock that never goes back (not the time of day), for
// measuring intervals within one run.
ULONGLONG AfxGetMonotonicMilliseconds();
