// SPDX-License-Identifier: MIT
// Windows path traits; include "platform/path_traits.h", not this file.
#pragma once

namespace PathTraits {
constexpr char kPreferredSeparator = '\\';
constexpr char kAlternateSeparator = '/';
constexpr bool kHasDrives = true;
constexpr bool kHasUnc = true;
constexpr bool kAltersNames = true;
}  // namespace PathTraits
