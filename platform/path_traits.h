// SPDX-License-Identifier: MIT
// Path traits: which characters separate the parts of a path and whether
// drives ("E:") and UNC names ("\\server\share") exist. Path code reads these
// instead of spelling a separator out.
//
//   Windows: '\' separates, '/' is accepted as well, drives and UNC exist.
//   POSIX:   '/' separates, a backslash is an ordinary character, no drives,
//            no UNC names.
//
// The native header (platform/posix or platform/win32, which the build names
// in PLATFORM_NATIVE_PATH_TRAITS_H) defines, in namespace PathTraits:
//   constexpr char kPreferredSeparator;   // the separator paths are given
//   constexpr char kAlternateSeparator;   // also a separator; equal to
//                                         // kPreferredSeparator when none
//   constexpr bool kHasDrives;            // "E:" prefixes exist
//   constexpr bool kHasUnc;               // two leading separators name a server
#pragma once

#include PLATFORM_NATIVE_PATH_TRAITS_H

namespace PathTraits {

// True when c separates path parts on this platform.
constexpr bool IsSeparator(char c) { return c == kPreferredSeparator || c == kAlternateSeparator; }

// True when path begins with a drive: its second character is a colon, as the
// Windows runtime's path split decides (never on POSIX).
constexpr bool HasDrive(const char* path) {
  return kHasDrives && path != nullptr && path[0] != '\0' && path[1] == ':';
}

// True when path begins with two separators, the UNC form (never on POSIX).
constexpr bool IsUnc(const char* path) {
  return kHasUnc && path != nullptr && IsSeparator(path[0]) && IsSeparator(path[1]);
}

}  // namespace PathTraits
