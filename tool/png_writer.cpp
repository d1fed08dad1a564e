// SPDX-License-Identifier: MIT
#include "tool/lumvane.h"

#include "diskobject/DiskObject.h"
#include "platform/blockreader.h"
#include "platform/folder.h"
#include "platform/fsinfo.h"
#include "platform/interrupt.h"
#include "platform/path_traits.h"
#include "platform/printable.h"

#include <algorithm>
#include <iostream>
#include <vector>

namespace {

enum class CopyResult { Done, ReadFailed, InputEnded, WriteFailed };

// Copies the next length bytes of input's planned ranges to output. An
// input that ends before the range does (it became shorter since the scan)
// is InputEnded.
CopyResult CopyRange(CRangeReader& input, CFile& output, ULONGLONG length) {
  while (length > 0) {
    const unsigned char* data;
    size_t got;
    if (!input.Next(data, got))
      return GetLastError() == ERROR_HANDLE_EOF ? CopyResult::InputEnded : CopyResult::ReadFailed;
    if (got == 0) return CopyResult::InputEnded;
    if (!output.Write(data, got)) return CopyResult::WriteFailed;
    length -= got;
  }
  return CopyResult::Done;
}

// The bytes of the input each entry of g_offsetTable is written from, in
// the table's order (ImageExtent's).
std::vector<CFilePiece> ImageRanges(ULONGLONG inputLength) {
  std::vector<CFilePiece> ranges;
  ranges.reserve(g_offsetTable.size());
  for (size_t i = 0; i < g_offsetTable.size(); ++i) {
    const PNGOffset extent = ImageExtent(g_offsetTable, i, inputLength);
    ranges.push_back({extent.start, extent.end - extent.start});
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
  std::cout << "\n Output folder refused: " << AfxPrintable(g_strOutputDir).GetString() << reason
            << "\n"
            << std::endl;
}

// The path of the file name in the output folder, for messages.
CString ImagePath(const CString& name) {
  CString path = g_strOutputDir;
  if (path.IsEmpty() || !PathTraits::IsSeparator(path[path.GetLength() - 1]))
    path += PathTraits::kPreferredSeparator;
  return path + name;
}

// A code for "not there" from opening the output folder.
bool IsMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// The output folder as DumpPNGs writes into it: held by handle from its
// checks to the last image, or closed when it could not be made or opened
// (error then says why).
struct COutputFolder {
  CFolder folder;
  DWORD error = ERROR_SUCCESS;
  CString emptyingFailure;  // the disk object's text when emptying it failed
};

// Makes, checks and empties the output folder. FALSE after writing a
// refusal (nothing deleted then); TRUE otherwise, also when the folder
// could not be made or emptied (reported when the images are written).
BOOL PrepareOutputFolder(COutputFolder& out, LPCTSTR inputName) {
  // A name the system would spell otherwise ("photos." is "photos" on
  // Windows) would empty and fill another folder than the one named.
  if (PathTraits::IsNameTheSystemChanges(LastName(g_strOutputDir))) {
    RefuseOutputFolder(" is a name Windows would change.");
    return FALSE;
  }
  CDiskObject disk(nullptr);
  // Standing in another folder after it, every relative name would lead
  // elsewhere: nothing is deleted or written.
  const BOOL made = disk.MakeDirectoryTree(g_strOutputDir);
  const DWORD makeError = made ? ERROR_SUCCESS : GetLastError();
  if (disk.HasLostCurrentDirectory()) {
    std::cout << "\n Current directory lost: " << AfxPrintable(disk.m_errorText).GetString() << "\n"
              << std::endl;
    return FALSE;
  }
  if (out.folder.Open(g_strOutputDir)) {
    // Emptying must never reach the input's own folder or one above it.
    if (EndangersTheInput(out.folder, inputName)) {
      RefuseOutputFolder(" contains the input file.");
      return FALSE;
    }
    // The images are written even when this fails; a folder that was not
    // emptied (old files may stand beside the images) is reported once
    // they are written.
    if (!disk.DeleteDirectoryFiles(out.folder)) out.emptyingFailure = disk.m_errorText;
    return TRUE;
  }
  out.error = GetLastError();
  // Only a real folder is emptied, never the folder a link leads to. A
  // name that cannot be made since it exists, yet cannot be opened since
  // it does not, is a link that leads nowhere: Wine shows no more of it.
  if (out.error == CFolder::kLinkRefused ||
      (makeError == ERROR_ALREADY_EXISTS && IsMissing(out.error))) {
    RefuseOutputFolder(" is a link.");
    return FALSE;
  }
  // Why the folder is not there: making it failed first.
  if (makeError != ERROR_SUCCESS && IsMissing(out.error)) out.error = makeError;
  return TRUE;
}

// Writes the image numbered index, the next length bytes of input's planned
// ranges, into the output folder. FALSE after writing the failure's
// message; the image is then removed.
BOOL WriteImage(CRangeReader& input, LPCTSTR inputName, const COutputFolder& out, size_t index,
                ULONGLONG length) {
  CString name;
  name.Format("%02llu.png", static_cast<unsigned long long>(index));
  CFile output;
  // Until it is complete the image is removed on every way out: a failure
  // here, an exception (memory) or an interruption.
  CPartialFile partial;
  {
    CInterruptionsHeld held;
    if (!output.OpenIn(out.folder, name, CFile::modeCreate | CFile::modeWrite)) {
      if (out.folder.IsOpen())
        ReportFailure("\n File create Failed!\n", ImagePath(name), GetLastError());
      else
        ReportFailure("\n File create Failed!\n", g_strOutputDir, out.error);
      return FALSE;
    }
    partial.Arm(output, out.folder, name);
  }
  CopyResult result = CopyRange(input, output, length);
  DWORD code = GetLastError();
  if (result == CopyResult::Done && !partial.Keep()) {
    result = CopyResult::WriteFailed;
    code = GetLastError();
  }
  if (result == CopyResult::Done) return TRUE;
  partial.Remove();
  if (result == CopyResult::WriteFailed)
    ReportFailure("\n File Write Failed!\n", ImagePath(name), code);
  else if (result == CopyResult::ReadFailed)
    ReportFailure("\n File Read Failed!\n", inputName, code);
  else
    ReportFailure("\n File Read Failed!\n", inputName,
                  CString("ended before this image (shorter than when it was read)"));
  return FALSE;
}

}  // namespace

int CheckOutputFolder(LPCTSTR inputName) {
  if (PathTraits::IsNameTheSystemChanges(LastName(g_strOutputDir))) {
    RefuseOutputFolder(" is a name Windows would change.");
    return 0;
  }
  CFolder folder;
  if (folder.Open(g_strOutputDir)) {
    if (EndangersTheInput(folder, inputName)) {
      RefuseOutputFolder(" contains the input file.");
      return 0;
    }
  } else {
    const DWORD code = GetLastError();
    if (code == CFolder::kLinkRefused) {
      RefuseOutputFolder(" is a link.");
      return 0;
    }
    // A file or a device (the input itself, when its name has no
    // extension): no folder can ever be made there.
    if (code == ERROR_DIRECTORY) {
      RefuseOutputFolder(" is not a folder.");
      std::cerr << "lumvane: " << AfxPrintable(g_strOutputDir).GetString() << ": "
                << SystemReason(code).GetString() << std::endl;
      return 0;
    }
  }
  CString place;
  if (!AfxCanMakeIn(g_strOutputDir, place)) {
    const DWORD code = GetLastError();
    RefuseOutputFolder(" cannot be written.");
    std::cerr << "lumvane: " << AfxPrintable(place).GetString() << ": "
              << SystemReason(code).GetString() << std::endl;
    return 0;
  }
  return 1;
}

int DumpPNGs(LPCTSTR inputName) {
  CRangeReader input;
  if (!input.Open(inputName)) {
    ReportFailure("\n File Open Failed!\n", inputName, GetLastError());
    return 0;
  }

  const size_t count = g_offsetTable.size();
  CString text;
  text.Format("\n Begin Dumping PNGs, (total: %llu)\n ", static_cast<unsigned long long>(count));
  // Flushed: an interruption while the folder is emptied must not lose it.
  std::cout << text.GetString() << std::flush;

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

  // The output folder, held from its check to the last image: it is
  // emptied and filled through this handle only, so that swapping its name
  // for a link meanwhile cannot lead a deletion or an image elsewhere.
  COutputFolder out;
  if (count > 0) {
    if (!PrepareOutputFolder(out, inputName)) return 0;
    // A folder that could not be made or opened leaves it closed: the
    // first image cannot be created there.
    text.Format("\n PNGs saved to: %s.\n ", AfxPrintable(g_strOutputDir).GetString());
    std::cout << text.GetString() << std::flush;  // kept by an interruption too
  }

  for (size_t i = 0; i < count; ++i) {
    if (!WriteImage(input, inputName, out, i, ranges[i].length)) return 0;
    // One dot per finished image.
    std::cout << "." << std::flush;
  }
  input.Close();
  if (!out.emptyingFailure.IsEmpty()) {
    // Old files are left beside the new images: not what was asked for.
    std::cout << "\n " << AfxPrintable(out.emptyingFailure).GetString() << "\n" << std::endl;
    return 0;
  }
  return 1;
}
