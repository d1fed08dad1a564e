// SPDX-License-Identifier: MIT
#include "tool/lumvane.h"

#include "platform/blockreader.h"
#include "platform/iobuffer.h"
#include "tool/progress.h"

#include <iostream>
#include <new>

ULONGLONG g_scannedLength = kNotScanned;
bool g_scannedDirect = false;

namespace {

// The table of starts may take a quarter of the machine's memory (growing,
// it is copied into a block twice its size): an input made of nothing but
// starts would otherwise fill memory, and with overcommit the system ends
// the process without a word. Past that it is memory that ran out.
void CheckTableSize() {
  static const unsigned long long limit = AfxGetPhysicalMemory() / 4 / sizeof(PNGOffset);
  if (limit != 0 && g_offsetTable.size() > limit) throw std::bad_alloc();
}

// Feeds every block of the open reader to the locator, to the end of the
// file (as far as it goes). False after writing the failure's message.
bool FeedBlocks(CBlockReader& reader, const CString& path, CPNGLocator& locator, ULONGLONG length,
                const ScanProgress& progress) {
  ULONGLONG done = 0;
  for (;;) {
    const unsigned char* data;
    size_t n;
    if (!reader.Next(data, n)) {
      if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY)
        std::cout << "\n Not enough memory!\n" << std::endl;
      else
        ReportFailure("\n File Read Failed!\n", path, GetLastError());
      return false;
    }
    if (n == 0) break;
    done += n;
    locator.Feed(data, n);
    CheckTableSize();
    // The writer reads the images again: on an input larger than memory
    // the bytes around them must not push them out of the cache.
    locator.ReleaseUnneeded([&](uint64_t at, uint64_t count) { reader.Release(at, count); });
    if (progress) progress(done, length, g_offsetTable.size());
  }
  g_scannedLength = done;
  return true;
}

}  // namespace

int LocateImages(const CString& path, const ScanProgress& progress) {
  CPNGLocator locator(g_offsetTable);
  CBlockReader reader;
  if (!reader.Open(path)) {
    ReportFailure("\n File Open Failed!\n", path, GetLastError());
    return 0;
  }
  // Fixed when the read begins: a file that grows meanwhile is read as it
  // was, one that shrinks as far as it goes; one that reports no length is
  // read to its end.
  const ULONGLONG length = reader.HasLength() ? reader.GetLength() : kUnknownLength;
  g_scannedDirect = reader.IsDirect() != FALSE;
  if (progress) progress(0, length, g_offsetTable.size());
  const bool read = FeedBlocks(reader, path, locator, length, progress);
  reader.Close();
  locator.Finish();
  return read ? 1 : 0;
}
