// SPDX-License-Identifier: MIT
#include "tool/lumvane.h"

#include "platform/blockreader.h"
#include "platform/interrupt.h"
#include "platform/path_traits.h"
#include "platform/printable.h"
#include "tool/output_folder.h"

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

// The path of the file name in the output folder, for messages.
CString ImagePath(const CString& name) {
  CString path = g_strOutputDir;
  if (path.IsEmpty() || !PathTraits::IsSeparator(path[path.GetLength() - 1]))
    path += PathTraits::kPreferredSeparator;
  return path + name;
}

// Opens the input, says how many images it holds, and plans the reads of
// their ranges (ranges: ImageRanges'). FALSE after writing the failure's
// message.
BOOL OpenInput(CRangeReader& input, LPCTSTR inputName, std::vector<CFilePiece>& ranges) {
  if (!input.Open(inputName)) {
    ReportFailure("\n File Open Failed!\n", inputName, GetLastError());
    return FALSE;
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
  ranges = ImageRanges(inputLength);
  // Read as the scan read it: around the cache after a direct scan, which
  // left the cache as it was. The memory for the reads is obtained before
  // the folder is touched, so that a failure leaves it as it was; with no
  // image there is nothing to copy, so none is obtained.
  if (count > 0 && !input.Plan(ranges, g_scannedDirect)) {
    std::cout << "\n Not enough memory!\n" << std::endl;
    return FALSE;
  }
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

int DumpPNGs(LPCTSTR inputName) {
  CRangeReader input;
  std::vector<CFilePiece> ranges;
  if (!OpenInput(input, inputName, ranges)) return 0;

  // The output folder, held from its check to the last image: it is
  // emptied and filled through this handle only, so that swapping its name
  // for a link meanwhile cannot lead a deletion or an image elsewhere.
  COutputFolder out;
  if (!ranges.empty()) {
    if (!PrepareOutputFolder(out, inputName)) return 0;
    // A folder that could not be made or opened leaves it closed: the
    // first image cannot be created there.
    CString text;
    text.Format("\n PNGs saved to: %s.\n ", AfxPrintable(g_strOutputDir).GetString());
    std::cout << text.GetString() << std::flush;  // kept by an interruption too
  }

  for (size_t i = 0; i < ranges.size(); ++i) {
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
