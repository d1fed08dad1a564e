// SPDX-License-Identifier: MIT
// What Lumvane writes to standard output, piece by piece, for tests that
// compare a whole run's transcript; the banner comes from the tool's own
// string table. Line ends are "\n" (a Windows run's text-mode stream makes
// them "\r\n").
#pragma once

#include <cstddef>
#include <string>

#include "tool/lumvane_strings.h"

namespace transcript {

inline const std::string kBanner = IDS_BANNER_TEXT;
// The last words of every run.
inline const std::string kPrompt = "\n\n Any Key to Quit...\n";

// The banner and the line naming the input, as fullPath is shown.
inline std::string Analyse(const std::string& fullPath) {
  return kBanner + "\n Now Analyse this file: \n     " + fullPath + "\n";
}
// The writer's first line: count images found.
inline std::string Total(int count) {
  return "\n Begin Dumping PNGs, (total: " + std::to_string(count) + ")\n ";
}
// The line naming the output folder, as folder is shown.
inline std::string SavedTo(const std::string& folder) {
  return "\n PNGs saved to: " + folder + ".\n ";
}
// The writer's lines for count images found and written of them saved
// (a dot each) to folder.
inline std::string Dumped(int count, const std::string& folder, int written) {
  return Total(count) + SavedTo(folder) + std::string(static_cast<std::size_t>(written), '.');
}
inline std::string Dumped(int count, const std::string& folder) {
  return Dumped(count, folder, count);
}

}  // namespace transcript
