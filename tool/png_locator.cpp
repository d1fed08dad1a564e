// SPDX-License-Identifier: MIT
#include "tool/lumvane.h"

#include "platform/blockreader.h"
#include "platform/iobuffer.h"
#include "tool/progress.h"

#include <algorithm>
#include <iostream>
#include <new>

ULONGLONG g_scannedLength = kNotScanned;
bool g_scannedDirect = false;

namespace {

// Reads the file at path once from its start: tells begin(length) once it
// is open, then hands each block to feed(reader, data, n, bytesRead,
// length), which returns false when it wants no more. The length is fixed
// when the read begins: a file that grows meanwhile is read as it was, one
// that shrinks as far as it goes; a file that reports no length
// (kUnknownLength then) is read to its end. Returns 1 when the reads are done, with g_scannedLength
// set to the bytes read, 0 after writing the failure's message.
template <class Begin, class Feed>
int ReadInput(const CString& path, Begin begin, Feed feed) {
  CBlockReader reader;
  if (!reader.Open(path)) {
    ReportFailure("\n File Open Failed!\n", path, GetLastError());
    return 0;
  }
  const ULONGLONG length = reader.HasLength() ? reader.GetLength() : kUnknownLength;
  g_scannedDirect = reader.IsDirect() != FALSE;
  begin(length);
  ULONGLONG done = 0;
  for (;;) {
    const unsigned char* data;
    size_t n;
    if (!reader.Next(data, n)) {
      if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY)
        std::cout << "\n Not enough memory!\n" << std::endl;
      else
        ReportFailure("\n File Read Failed!\n", path, GetLastError());
      return 0;
    }
    if (n == 0) break;
    done += n;
    if (!feed(reader, data, n, done, length)) {
      // Not read to the end: what lies past here was not looked at.
      done = reader.HasLength() ? std::max(done, length) : kNotScanned;
      break;
    }
  }
  reader.Close();
  g_scannedLength = done;
  return 1;
}

// The table of starts may take a quarter of the machine's memory (growing,
// it is copied into a block twice its size): an input made of nothing but
// starts would otherwise fill memory, and with overcommit the system ends
// the process without a word. Past that it is memory that ran out.
void CheckTableSize() {
  static const unsigned long long limit = AfxGetPhysicalMemory() / 4 / sizeof(PNGOffset);
  if (limit != 0 && g_offsetTable.size() > limit) throw std::bad_alloc();
}

// One mode's pass over g_offsetTable: start mode appends each start; end
// mode offers each marker to the pairing and ends the search once every
// entry has its end.
class CModePass : public CPatternSearch::CSink {
 public:
  explicit CModePass(bool startMode) : m_startMode(startMode), m_pairing(g_offsetTable) {}

  bool Found(uint64_t p) override {
    if (m_startMode) {
      g_offsetTable.push_back({p, kNoEnd});
      return true;
    }
    m_pairing.Offer(p);
    return !m_pairing.AllPaired();
  }

 private:
  bool m_startMode;
  CEndPairing m_pairing;
};

}  // namespace

int ScanFile(const unsigned char* pattern, int patternLength, const CString& path,
             int recordStarts) {
  const bool startMode = recordStarts != 0;
  CModePass pass(startMode);
  CPatternSearch search(pattern, static_cast<size_t>(patternLength), startMode, pass);
  // End mode on an empty table has nothing to pair.
  if (!startMode && g_offsetTable.empty()) search.End();
  return ReadInput(
      path, [](ULONGLONG) {},
      [&](CBlockReader&, const unsigned char* data, size_t n, ULONGLONG, ULONGLONG) {
        search.Feed(data, n);
        return !search.Ended();
      });
}

int LocateImages(const CString& path, const ScanProgress& progress) {
  CPNGLocator locator(g_offsetTable);
  const auto begin = [&](ULONGLONG length) {
    if (progress) progress(0, length, g_offsetTable.size());
  };
  const int result = ReadInput(
      path, begin,
      [&](CBlockReader& reader, const unsigned char* data, size_t n, ULONGLONG done,
          ULONGLONG length) {
        locator.Feed(data, n);
        CheckTableSize();
        // The writer reads the images again: on an input larger than memory
        // the bytes around them must not push them out of the cache.
        locator.ReleaseUnneeded([&](uint64_t at, uint64_t count) { reader.Release(at, count); });
        if (progress) progress(done, length, g_offsetTable.size());
        return true;
      });
  locator.Finish();
  return result;
}
