// SPDX-License-Identifier: MIT
// Windows: the Win32 and C-runtime surface is the system's own. Include
// "platform/win32api.h", not this file.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <conio.h>
#include <stdlib.h>

// <windows.h> maps these names to their A/W forms; the class library stand-in
// declares members with the plain names, so keep them plain.
#undef LoadString
#undef SetWindowText
