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
//   constexpr bool kAltersNames;          // names ending in "." or " " lose
//                                         // them; device names are reserved
#pragma once

#include <initializer_list>

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

namespace detail {
constexpr char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
// True when name, up to its first dot or its end, is word (any case).
constexpr bool StemIs(const char* name, const char* word) {
  int i = 0;
  for (; word[i] != '\0'; ++i)
    if (Upper(name[i]) != word[i]) return false;
  return name[i] == '\0' || name[i] == '.';
}
}  // namespace detail

// True when the system would not keep name (one name, no separator) as it
// is spelled (never on POSIX): on Windows a name ending in a dot or a blank
// loses them ("photos." is "photos"), and the device names CON, PRN, AUX,
// NUL, COM1 to COM9 and LPT1 to LPT9, in any case, alone or with an
// extension ("nul.tar"), name the device instead of a file.
constexpr bool IsNameTheSystemChanges(const char* name) {
  if (!kAltersNames || name == nullptr || name[0] == '\0') return false;
  int length = 0;
  while (name[length] != '\0') ++length;
  if (name[length - 1] == '.' || name[length - 1] == ' ') return true;
  for (const char* device : {"CON", "PRN", "AUX", "NUL"})
    if (detail::StemIs(name, device)) return true;
  for (const char* family : {"COM", "LPT"}) {
    const char numbered[5] = {family[0], family[1], family[2], length >= 4 ? name[3] : '\0', '\0'};
    if (numbered[3] >= '1' && numbered[3] <= '9' && detail::StemIs(name, numbered)) return true;
  }
  return false;
}

}  // namespace PathTraits
