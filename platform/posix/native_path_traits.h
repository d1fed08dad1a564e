// SPDX-License-Identifier: MIT
// POSIX path traits; include "platform/path_traits.h", not this file.
#pragma once

namespace PathTraits {
constexpr char kPreferredSeparator = '/';
constexpr char kAlternateSeparator = '/';
constexpr bool kHasDrives = false;
constexpr bool kHasUnc = false;
constexpr bool kAltersNames = false;
}  // namespace PathTraits
