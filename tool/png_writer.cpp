// SPDX-License-Identifier: MIT
#include "tool/lumvane.h"

#include "diskobject/DiskObject.h"
#include "platform/blockreader.h"
#include "platform/folder.h"
#include "platform/fsinfo.h"
#include "platform/interrupt.h"
#include "platform/path_traits.h"

#include <algorithm>
#include <iostream>
#include <vector>

namespace {

enum class CopyResult { Done, ReadFailed, WriteFailed };

// Copies the next length bytes of input's planned ranges to output. An
// input that ends before the range does (it became shorter since the scan)
// is a failed read.
CopyResult CopyRange(CRangeReader& input, CFile& output, ULONGLONG length) {
  while (length > 0) {
    const unsigned char* data;
    size_t got;
    if (!input.Next(data, got) || got == 0) return CopyResult::ReadFailed;
    if (!output.Write(data, got)) return CopyResult::WriteFailed;
    length -= got;
  }
  return CopyResult::Done;
}

// The bytes of the input each entry of g_offsetTable is written from, in
// the table's order. An entry without an end runs up to the next image, or
// to the end of the input; nothing runs past the end of the input.
std::vector<CFilePiece> ImageRanges(ULONGLONG inputLength) {
  std::vector<CFilePiece> ranges;
  ranges.reserve(g_offsetTable.size());
  for (size_t i = 0; i < g_offsetTable.size(); ++i) {
    const PNGOffset& entry = g_offsetTable[i];
    ULONGLONG end = entry.end;
    if (end == kNoEnd)
      end = i + 1 < g_offsetTable.size() ? g_offsetTable[i + 1].start : inputLength;
    end = std::min(end, inputLength);
    ranges.push_back({entry.start, end > entry.start ? end - entry.start : 0});
  }
  return ranges;
}

// True when emptying the held output folder could delete the input or the
// name it was given by: the folder is, or lies above, the folder that holds
// the input's target or the folder that holds the name as typed (which
// differ when the name is a link).
bool EndangersTheInput(const CFolder& output, LPCTSTR inputName) {
  if (AfxIsFolderAtOrAbove(output, inputName)) return true;
  CString drive, dir;
  AfxSplitPath(inputName, &drive, &dir, nullptr, nullptr);
  CString holder = drive + dir;
  if (holder.IsEmpty()) holder = ".";
  return AfxIsSameFolder(output, holder) || AfxIsFolderAtOrAbove(output, holder);
}

// The last name of a path: its file name with its extension.
CString LastName(const CString& path) {
  CString name, ext;
  AfxSplitPath(path, nullptr, nullptr, &name, &ext);
  return name + ext;
}

void RefuseOutputFolder(const char* reason) {
  std::cout << "\n Output folder refused: " << g_strOutputDir.GetString() << reason << "\n"
            << std::endl;
}

// text for the console: well-formed UTF-8 and printable ASCII as they are;
// control characters (C0, DEL, C1) and bytes that are not UTF-8 as \xNN. A
// file name read from the disk may hold anything, and none of it may reach
// the terminal as a control sequence.
CString Printable(const CString& text) {
  const std::string& bytes = text.str();
  CString out;
  for (size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    size_t n = c < 0x80                 ? 1
               : c >= 0xC2 && c <= 0xDF ? 2
               : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4
                                        : 0;
    for (size_t k = 1; k < n; ++k)
      if (i + k >= bytes.size() || (static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) n = 0;
    const bool control = c < 0x20 || c == 0x7F ||
                         (c == 0xC2 && n == 2 && static_cast<unsigned char>(bytes[i + 1]) < 0xA0);
    if (n == 0 || control) {
      CString escape;
      escape.Format("\\x%02x", c);
      out += escape;
      ++i;
    } else {
      out += CString(bytes.data() + i, static_cast<int>(n));
      i += n;
    }
  }
  return out;
}

}  // namespace

int DumpPNGs(LPCTSTR inputName) {
  CRangeReader input;
  if (!input.Open(inputName)) {
    std::cout << "\n File Open Failed!\n" << std::endl;
    return 0;
  }

  const int count = static_cast<int>(g_offsetTable.size());
  CString text;
  text.Format("\n Begin Dumping PNGs, (total: %d)\n ", count);
  std::cout << text.GetString();

  // The input as the locator read it: a file that reports no size has the
  // length that was read, and one that became shorter since must fail.
  const ULONGLONG inputLength =
      g_scannedLength != kNotScanned ? g_scannedLength : input.GetLength();
  const std::vector<CFilePiece> ranges = ImageRanges(inputLength);
  // Read as the scan read it: around the cache after a direct scan, which
  // left the cache as it was. The memory for the reads is obtained before
  // the folder is touched, so that a failure leaves it as it was; with no
  // image there is nothing to copy, so none is obtained.
  if (count > 0 && !input.Plan(ranges, g_scannedDirect)) {
    std::cout << "\n Not enough memory!\n" << std::endl;
    return 0;
  }

  CString emptyingFailure;  // the disk object's text when emptying the folder failed
  // The output folder, held from its check to the last image: it is
  // emptied and filled through this handle only, so that swapping its name
  // for a link meanwhile cannot lead a deletion or an image elsewhere.
  CFolder folder;
  if (count > 0) {
    // A name the system would spell otherwise ("photos." is "photos" on
    // Windows) would empty and fill another folder than the one named.
    if (PathTraits::IsNameTheSystemChanges(LastName(g_strOutputDir))) {
      RefuseOutputFolder(" is a name Windows would change.");
      return 0;
    }
    CDiskObject disk(nullptr);
    // Its result is not needed: a failure shows when the first image cannot
    // be created. Standing in another folder after it, every relative name
    // would lead elsewhere: nothing is deleted or written.
    disk.MakeDirectoryTree(g_strOutputDir);
    if (disk.HasLostCurrentDirectory()) {
      std::cout << "\n Current directory lost: " << Printable(disk.m_errorText).GetString() << "\n"
                << std::endl;
      return 0;
    }
    if (folder.Open(g_strOutputDir)) {
      // Emptying must never reach the input's own folder or one above it.
      if (EndangersTheInput(folder, inputName)) {
        RefuseOutputFolder(" contains the input file.");
        return 0;
      }
      // The images are written even when this fails; a folder that was not
      // emptied (old files may stand beside the images) is reported once
      // they are written.
      if (!disk.DeleteDirectoryFiles(folder)) emptyingFailure = disk.m_errorText;
    } else if (GetLastError() == CFolder::kLinkRefused) {
      // Only a real folder is emptied, never the folder a link leads to.
      RefuseOutputFolder(" is a link.");
      return 0;
    }
    // A folder that could not be made or opened leaves folder closed: the
    // first image cannot be created there.
    text.Format("\n PNGs saved to: %s.\n ", g_strOutputDir.GetString());
    std::cout << text.GetString();
  }

  for (int i = 0; i < count; ++i) {
    const ULONGLONG length = ranges[static_cast<size_t>(i)].length;

    CString name;
    name.Format("%02d.png", i);
    CFile output;
    // Until it is complete the image is removed on every way out: a failure
    // here, an exception (memory) or an interruption.
    CPartialFile partial;
    {
      CInterruptionsHeld held;
      if (!output.OpenIn(folder, name, CFile::modeCreate | CFile::modeWrite)) {
        std::cout << "\n File create Failed!\n" << std::endl;
        return 0;
      }
      partial.Arm(output, folder, name);
    }

    CopyResult result = CopyRange(input, output, length);
    if (result == CopyResult::Done && !partial.Keep()) result = CopyResult::WriteFailed;
    if (result != CopyResult::Done) {
      partial.Remove();
      std::cout << (result == CopyResult::ReadFailed ? "\n File Read Failed!\n"
                                                     : "\n File Write Failed!\n")
                << std::endl;
      return 0;
    }
    // One dot per finished image.
    std::cout << "." << std::flush;
  }
  input.Close();
  if (!emptyingFailure.IsEmpty()) {
    // Old files are left beside the new images: not what was asked for.
    std::cout << "\n " << Printable(emptyingFailure).GetString() << "\n" << std::endl;
    return 0;
  }
  return 1;
}
