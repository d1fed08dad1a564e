// SPDX-License-Identifier: MIT
// The input the listing's end-to-end tests share (POSIX and Windows): whole,
// damaged, cut and back-to-back images, and the listing's text read back.
#pragma once

#include "testdata/pngdraw.h"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace list_sample {

// One row of "--list": the columns as printed, HEALTH whole.
struct Row {
  std::string name;
  uint64_t offset = 0;
  uint64_t length = 0;
  std::string end;
  std::string health;
};

// The rows of a listing; false when the header or a row is malformed.
inline bool ParseListing(const std::string& text, std::vector<Row>& rows) {
  std::istringstream lines(text);
  std::string line;
  if (!std::getline(lines, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::istringstream header(line);
  std::string a, b, c, d, e, extra;
  if (!(header >> a >> b >> c >> d >> e) || (header >> extra)) return false;
  if (a != "NAME" || b != "OFFSET" || c != "LENGTH" || d != "END" || e != "HEALTH") return false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream fields(line);
    Row row;
    if (!(fields >> row.name >> row.offset >> row.length >> row.end)) return false;
    std::getline(fields >> std::ws, row.health);
    if (row.health.empty()) return false;
    rows.push_back(row);
  }
  return true;
}

// What the sample holds, image by image, in the order they lie.
struct Expected {
  pngdraw::Range range;  // the bytes a run writes
  std::string end;       // IEND, next or eof
  std::string health;    // the HEALTH column
};

inline void Append(pngdraw::Bytes& to, const pngdraw::Bytes& bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

// Junk, then: a whole image; one whose IDAT CRC has a flipped bit; one whose IDAT type holds an escape byte (a bad CRC, and a type that
// must not reach the terminal raw); two back to back; one cut short and
// followed at once by the next image (cut at its start); and a last one cut
// by the end of the input. Offsets in `expected` are in the returned bytes.
inline pngdraw::Bytes MakeSample(std::vector<Expected>& expected) {
  pngdraw::Bytes out(37, 0x5A);
  const auto add = [&](const pngdraw::Bytes& image, const std::string& end,
                       const std::string& health) {
    const uint64_t start = out.size();
    Append(out, image);
    std::string text = health;
    const std::string at = "at=";
    const size_t pos = text.find(at);
    // Faults are given relative to the image; the listing gives them in the input.
    if (pos != std::string::npos)
      text = text.substr(0, pos) + at + std::to_string(start + std::stoull(text.substr(pos + 3)));
    expected.push_back({{start, out.size()}, end, text});
  };
  const pngdraw::Bytes whole = pngdraw::MakePicture(0, 7, 5);
  // Signature 8, IHDR 25: IDAT starts at 33, its type at 37, its data at 41.
  add(whole, "IEND", "ok");
  Append(out, pngdraw::Bytes(5, 0x11));
  pngdraw::Bytes flipped = pngdraw::MakePicture(1, 6, 6);
  flipped[flipped.size() - 13] ^= 0x40;  // IDAT's CRC, before the 12 bytes of IEND
  add(flipped, "IEND", "bad-CRC chunk=2 type=IDAT at=33");
  Append(out, pngdraw::Bytes(3, 0x22));
  pngdraw::Bytes escaped = pngdraw::MakePicture(2, 5, 4);
  escaped[40] = 0x1B;
  add(escaped, "IEND", "bad-CRC chunk=2 type=IDA\\x1b at=33");
  add(pngdraw::MakePicture(3, 4, 4), "IEND", "ok");
  add(pngdraw::MakePicture(4, 9, 3), "IEND", "ok");
  pngdraw::Bytes cut = pngdraw::MakePicture(5, 8, 8);
  cut.resize(cut.size() - 30);  // inside IDAT's data: its length runs past the next start
  add(cut, "next", "length-past-end chunk=2 type=IDAT at=33");
  add(whole, "IEND", "ok");
  Append(out, pngdraw::Bytes(9, 0x33));
  pngdraw::Bytes last = pngdraw::MakePicture(6, 3, 3);
  last.resize(last.size() - 12);  // the IEND chunk is gone: whole chunks, then the end
  add(last, "eof", "no-IEND at=" + std::to_string(last.size()));
  return out;
}

}  // namespace list_sample
