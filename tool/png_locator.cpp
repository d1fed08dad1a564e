// SPDX-License-Identifier: MIT
#include "tool/lumvane.h"

#include "platform/blockreader.h"

#include <iostream>

namespace {

// Reads the file at path once from its start: tells begin(length) once it
// is open, then hands each block to feed(data, n, bytesRead, length), which
// returns false when it wants no more. The length is fixed when the read
// begins: a file that grows meanwhile is read as it was, one that shrinks as
// far as it goes. Returns 1 when the reads are done, 0 after writing the
// failure's message.
template <class Begin, class Feed>
int ReadInput(const CString& path, Begin begin, Feed feed) {
  CBlockReader reader;
  if (!reader.Open(path)) {
    std::cout << "\n File Open Failed!\n" << std::endl;
    return 0;
  }
  const ULONGLONG length = reader.GetLength();
  begin(length);
  ULONGLONG done = 0;
  for (;;) {
    const unsigned char* data;
    size_t n;
    if (!reader.Next(data, n)) {
      std::cout << "\n File Read Failed!\n" << std::endl;
      return 0;
    }
    if (n == 0) break;
    done += n;
    if (!feed(data, n, done, length)) break;
  }
  // Close also puts back the process state the reader changed (its fault
  // handler); a run must not go on without it.
  if (!reader.Close()) {
    std::cout << "\n File Read Failed!\n" << std::endl;
    return 0;
  }
  return 1;
}

}  // namespace

int ScanFile(const unsigned char* pattern, int patternLength, const CString& path,
             int recordStarts) {
  CPNGScanner scanner(pattern, static_cast<size_t>(patternLength), recordStarts, g_offsetTable);
  return ReadInput(
      path, [](ULONGLONG) {},
      [&](const unsigned char* data, size_t n, ULONGLONG, ULONGLONG) {
        return scanner.Feed(data, n);
      });
}

int LocateImages(const CString& path, const ScanProgress& progress) {
  CPNGLocator locator(g_offsetTable);
  const auto begin = [&](ULONGLONG length) {
    if (progress) progress(0, length, g_offsetTable.size());
  };
  const int result = ReadInput(
      path, begin, [&](const unsigned char* data, size_t n, ULONGLONG done, ULONGLONG length) {
        locator.Feed(data, n);
        if (progress) progress(done, length, g_offsetTable.size());
        return true;
      });
  locator.Finish();
  return result;
}
