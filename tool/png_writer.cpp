// SPDX-License-Identifier: MIT
#include "tool/lumvane.h"

#include "diskobject/DiskObject.h"
#include "platform/fsinfo.h"
#include "platform/interrupt.h"
#include "platform/iobuffer.h"
#include "platform/path_traits.h"

#include <algorithm>
#include <iostream>

namespace {

// Images are copied through a buffer of this size, so memory stays the same
// whatever the size of an image or of the input.
constexpr size_t kCopyBufferSize = 1024 * 1024;

enum class CopyResult { Done, ReadFailed, WriteFailed };

// Copies [start, start + length) of input to output. An input that ends
// before the range does (it became shorter since the scan) is a failed read.
CopyResult CopyRange(CFile& input, CFile& output, ULONGLONG start, ULONGLONG length,
                     unsigned char* buffer) {
  if (length == 0) return CopyResult::Done;
  if (input.Seek(static_cast<LONGLONG>(start), CFile::begin) < 0) return CopyResult::ReadFailed;
  while (length > 0) {
    const ULONGLONG want = std::min<ULONGLONG>(length, kCopyBufferSize);
    const LONGLONG got = input.Read(buffer, want);
    if (got <= 0) return CopyResult::ReadFailed;
    if (!output.Write(buffer, static_cast<ULONGLONG>(got))) return CopyResult::WriteFailed;
    length -= static_cast<ULONGLONG>(got);
  }
  return CopyResult::Done;
}

// True when emptying outputDir could delete the input or the name it was
// given by: outputDir is, or lies above, the folder that holds the input's
// target or the folder that holds the name as typed (which differ when the
// name is a link), however outputDir leads there.
bool EndangersTheInput(const CString& outputDir, LPCTSTR inputName) {
  if (AfxIsDirectoryAtOrAbove(outputDir, inputName)) return true;
  CString drive, dir;
  AfxSplitPath(inputName, &drive, &dir, nullptr, nullptr);
  CString holder = drive + dir;
  if (holder.IsEmpty()) holder = ".";
  return AfxIsSameFile(outputDir, holder) || AfxIsDirectoryAtOrAbove(outputDir, holder);
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
  CFile input;
  if (!input.Open(inputName, CFile::modeRead)) {
    std::cout << "\n File Open Failed!\n" << std::endl;
    return 0;
  }

  const int count = static_cast<int>(g_offsetTable.size());
  CString text;
  text.Format("\n Begin Dumping PNGs, (total: %d)\n ", count);
  std::cout << text.GetString();

  // One page-aligned buffer for every image, obtained once and not
  // cleared: one allocation at its full size costs no reallocation, page
  // faults or copy per image, and the reads fill whatever is used. Pages
  // that no read reaches (all images small) never become resident.
  // Obtained before the folder is touched, so that a failure leaves it as
  // it was; with no image there is nothing to copy, so none is obtained.
  const CIOBuffer buffer = count > 0 ? AfxAllocIOBuffer(kCopyBufferSize) : CIOBuffer();
  if (count > 0 && !buffer) {
    std::cout << "\n Not enough memory!\n" << std::endl;
    return 0;
  }

  CString emptyingFailure;  // the disk object's text when preparing the folder failed
  if (count > 0) {
    // Emptying the output folder must never reach the input's own folder
    // or one above it, however the path leads there (links included).
    if (EndangersTheInput(g_strOutputDir, inputName)) {
      std::cout << "\n Output folder refused: " << g_strOutputDir.GetString()
                << " contains the input file.\n"
                << std::endl;
      return 0;
    }
    CDiskObject disk(nullptr);
    // The images are written even when these fail: a folder that cannot be
    // made shows when the first image cannot be created, and a folder that
    // was not emptied (old files may stand beside the images) is reported
    // once the images are written. Once the current directory is lost, the
    // disk object refuses every operation, so emptying touches nothing.
    disk.MakeDirectoryTree(g_strOutputDir);
    if (!disk.DeleteDirectoryFiles(g_strOutputDir)) emptyingFailure = disk.m_errorText;
    // Standing in another folder, the output folder and every image name
    // would name files elsewhere: nothing is written.
    if (disk.HasLostCurrentDirectory()) {
      std::cout << "\n Current directory lost: " << Printable(disk.m_errorText).GetString() << "\n"
                << std::endl;
      return 0;
    }
    text.Format("\n PNGs saved to: %s.\n ", g_strOutputDir.GetString());
    std::cout << text.GetString();
  }

  // The input as the locator read it: a file that reports no size has the
  // length that was read, and one that became shorter since must fail.
  const ULONGLONG inputLength =
      g_scannedLength != kNotScanned ? g_scannedLength : input.GetLength();
  for (int i = 0; i < count; ++i) {
    const PNGOffset& entry = g_offsetTable[static_cast<size_t>(i)];
    // An entry without an end runs up to the next image, or to the end
    // of the input; nothing runs past the end of the input.
    ULONGLONG end = entry.end;
    if (end == kNoEnd)
      end = i + 1 < count ? g_offsetTable[static_cast<size_t>(i) + 1].start : inputLength;
    end = std::min(end, inputLength);
    const ULONGLONG length = end > entry.start ? end - entry.start : 0;

    CString name;
    name.Format("%s%c%02d.png", g_strOutputDir.GetString(), PathTraits::kPreferredSeparator, i);
    CFile output;
    // Until it is complete the image is removed on every way out: a failure
    // here, an exception (memory) or an interruption.
    CPartialFile partial;
    {
      CInterruptionsHeld held;
      if (!output.Open(name, CFile::modeCreate | CFile::modeWrite)) {
        std::cout << "\n File create Failed!\n" << std::endl;
        return 0;
      }
      partial.Arm(output, name);
    }

    CopyResult result = CopyRange(input, output, entry.start, length, buffer.get());
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
