// SPDX-License-Identifier: MIT
#include "tool/png_list.h"

#include "platform/iobuffer.h"
#include "platform/printable.h"
#include "tool/lumvane.h"
#include "tool/png_chunks.h"
#include "tool/progress.h"

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

namespace {

// Images are walked through a buffer of this size, as the writer copies them.
constexpr size_t kWalkBufferSize = 1024 * 1024;

struct ListedImage {
  PNGOffset extent;
  const char* end;  // "IEND", "next" or "eof"
  PNGHealth health;
};

// How the bytes of entry i end, given its extent (ImageExtent).
const char* EndOf(size_t i, const PNGOffset& extent) {
  const PNGOffset& entry = g_offsetTable[i];
  if (entry.end != kNoEnd && entry.end == extent.end) return "IEND";
  if (entry.end == kNoEnd && i + 1 < g_offsetTable.size()) return "next";
  return "eof";
}

// Walks the chunks of [extent.start, extent.end) of input, reading no more
// of it than the verdict needs. False when the bytes could not be read.
bool WalkImage(CFile& input, const PNGOffset& extent, unsigned char* buffer, PNGHealth& health) {
  CChunkWalk walk(extent.end - extent.start);
  if (input.Seek(static_cast<LONGLONG>(extent.start), CFile::begin) < 0) return false;
  for (ULONGLONG at = extent.start; at < extent.end && !walk.Done();) {
    const ULONGLONG want = std::min<ULONGLONG>(extent.end - at, kWalkBufferSize);
    const LONGLONG got = input.Read(buffer, want);
    // An input that became shorter since the scan no longer holds the image.
    if (got <= 0) return false;
    walk.Feed(buffer, static_cast<size_t>(got));
    at += static_cast<ULONGLONG>(got);
  }
  health = walk.Result();
  if (health.kind != PNGHealth::kOk) health.at += extent.start;
  return true;
}

const char* HealthWord(PNGHealth::Kind kind) {
  switch (kind) {
    case PNGHealth::kOk:
      return "ok";
    case PNGHealth::kNoSignature:
      return "no-signature";
    case PNGHealth::kBadCRC:
      return "bad-CRC";
    case PNGHealth::kLengthPastEnd:
      return "length-past-end";
    case PNGHealth::kNoIEND:
      return "no-IEND";
  }
  return "?";
}

bool NamesAChunk(PNGHealth::Kind kind) {
  return kind == PNGHealth::kBadCRC || kind == PNGHealth::kLengthPastEnd;
}

std::string ImageName(size_t i) {
  CString name;
  name.Format("%02d.png", static_cast<int>(i));
  return name.GetString();
}

// text as a JSON string: see png_list.h.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t n = AfxUtf8SequenceLength(text, i);
    // Overlong and surrogate forms, and code points past U+10FFFF, are not UTF-8.
    if (n >= 3) {
      const auto d = static_cast<unsigned char>(text[i + 1]);
      if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d >= 0xA0) || (c == 0xF0 && d < 0x90) ||
          (c == 0xF4 && d >= 0x90))
        n = 0;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || n == 0) {
      CString escape;
      escape.Format("\\u%04x", c);
      out += escape.GetString();
      ++i;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out + "\"";
}

void PrintText(const std::vector<ListedImage>& images) {
  CString line;
  line.Format("%-7s %12s %12s %-4s %s", "NAME", "OFFSET", "LENGTH", "END", "HEALTH");
  std::cout << line.GetString() << "\n";
  for (size_t i = 0; i < images.size(); ++i) {
    const ListedImage& image = images[i];
    std::string health = HealthWord(image.health.kind);
    if (NamesAChunk(image.health.kind))
      health += " chunk=" + std::to_string(image.health.chunk) +
                " type=" + PrintableChunkType(image.health.type);
    if (image.health.kind != PNGHealth::kOk) health += " at=" + std::to_string(image.health.at);
    line.Format("%-7s %12llu %12llu %-4s %s", ImageName(i).c_str(),
                static_cast<unsigned long long>(image.extent.start),
                static_cast<unsigned long long>(image.extent.end - image.extent.start), image.end,
                health.c_str());
    std::cout << line.GetString() << "\n";
  }
  std::cout << std::flush;
}

void PrintJson(const std::vector<ListedImage>& images) {
  std::cout << "{\"input\": " << JsonString(g_strInputPath.GetString())
            << ", \"folder\": " << JsonString(g_strOutputDir.GetString()) << ", \"images\": [";
  for (size_t i = 0; i < images.size(); ++i) {
    const ListedImage& image = images[i];
    std::cout << (i ? ",\n  " : "\n  ") << "{\"name\": \"" << ImageName(i)
              << "\", \"offset\": " << image.extent.start
              << ", \"length\": " << image.extent.end - image.extent.start << ", \"end\": \""
              << image.end << "\", \"health\": \"" << HealthWord(image.health.kind) << "\"";
    if (NamesAChunk(image.health.kind))
      std::cout << ", \"chunk\": " << image.health.chunk
                << ", \"type\": " << JsonString(PrintableChunkType(image.health.type));
    if (image.health.kind != PNGHealth::kOk) std::cout << ", \"at\": " << image.health.at;
    std::cout << "}";
  }
  std::cout << "]}" << std::endl;
}

// The locator's messages go to standard error while it runs: standard
// output holds the listing only.
class CMessagesToStandardError {
 public:
  CMessagesToStandardError() : m_saved(std::cout.rdbuf(std::cerr.rdbuf())) {}
  ~CMessagesToStandardError() { std::cout.rdbuf(m_saved); }
  CMessagesToStandardError(const CMessagesToStandardError&) = delete;
  CMessagesToStandardError& operator=(const CMessagesToStandardError&) = delete;

 private:
  std::streambuf* m_saved;
};

// The scan, as a run makes it; false after the locator's message.
bool Scan() {
  CMessagesToStandardError toStandardError;
  CProgressLine progress;
  const ScanProgress report = [&progress](ULONGLONG bytesRead, ULONGLONG total, size_t images) {
    progress.Update(bytesRead, total, images);
  };
  return LocateImages(g_strInputPath, report) != 0;
}

// Every image of the table with its extent, end and health; false after a
// message on standard error when the input could not be read again.
bool WalkImages(std::vector<ListedImage>& images) {
  const size_t count = g_offsetTable.size();
  if (count == 0) return true;
  CFile input;
  if (!input.Open(g_strInputPath, CFile::modeRead)) {
    std::cerr << "\n File Open Failed!\n" << std::endl;
    return false;
  }
  const CIOBuffer buffer = AfxAllocIOBuffer(kWalkBufferSize);
  if (!buffer) {
    std::cerr << "\n Not enough memory!\n" << std::endl;
    return false;
  }
  const ULONGLONG inputLength = g_scannedLength;
  for (size_t i = 0; i < count; ++i) {
    ListedImage image;
    image.extent = ImageExtent(g_offsetTable, i, inputLength);
    image.end = EndOf(i, image.extent);
    if (!WalkImage(input, image.extent, buffer.get(), image.health)) {
      std::cerr << "\n File Read Failed!\n" << std::endl;
      return false;
    }
    images.push_back(image);
  }
  return true;
}

}  // namespace

int ListImages(LPCTSTR argument, bool json) {
  g_strInputPath = MakeFullInputPath(argument);
  g_strOutputDir = MakeOutputDir(g_strInputPath);
  g_offsetTable.clear();
  if (!Scan()) return 1;
  std::vector<ListedImage> images;
  if (!WalkImages(images)) return 1;
  if (json)
    PrintJson(images);
  else
    PrintText(images);
  return 0;
}
