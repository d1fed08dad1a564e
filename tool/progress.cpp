// SPDX-License-Identifier: MIT
#include "tool/progress.h"

#include "platform/terminal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <streambuf>

namespace {

// The line is redrawn no more often than this; a terminal cannot show more,
// and a fast read must not spend its time drawing.
constexpr ULONGLONG kRedrawMilliseconds = 100;

// Erases from the cursor to the end of its line (ECMA-48 EL).
constexpr const char* kEraseToEndOfLine = "\x1b[K";

}  // namespace

std::string FormatByteCount(ULONGLONG bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  constexpr size_t kLastUnit = sizeof kUnits / sizeof kUnits[0] - 1;
  size_t unit = 0;
  double value = static_cast<double>(bytes) / 1024.0;
  // Move up while the value as printed (one decimal) would reach 1024.
  while (unit < kLastUnit && std::round(value * 10.0) >= 1024.0 * 10.0) {
    value /= 1024.0;
    ++unit;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatDuration(ULONGLONG seconds) {
  if (seconds < 60) return std::to_string(seconds) + "s";
  char text[48];
  if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%llum %02llus", static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
  } else {
    const ULONGLONG minutes = seconds / 60 + (seconds % 60 != 0 ? 1 : 0);
    std::snprintf(text, sizeof text, "%lluh %02llum", static_cast<unsigned long long>(minutes / 60),
                  static_cast<unsigned long long>(minutes % 60));
  }
  return text;
}

std::string FormatProgressLine(ULONGLONG bytesRead, ULONGLONG total, size_t images,
                               ULONGLONG elapsedMs, size_t columns) {
  const bool totalKnown = total != kUnknownLength;
  std::string line(" ");
  line += FormatByteCount(bytesRead);
  if (totalKnown) {
    unsigned percent = 100;
    if (bytesRead < total) {
      // Rounded down, and never 100 while a byte is left.
      percent = std::min(99u, static_cast<unsigned>(static_cast<double>(bytesRead) * 100.0 /
                                                    static_cast<double>(total)));
    }
    line += " of ";
    line += FormatByteCount(total);
    line += " (";
    line += std::to_string(percent);
    line += "%)";
  } else {
    line += " read";
  }

  if (elapsedMs >= kRateSettleMilliseconds) {
    const double perSecond =
        static_cast<double>(bytesRead) * 1000.0 / static_cast<double>(elapsedMs);
    line += ", ";
    line += FormatByteCount(static_cast<ULONGLONG>(perSecond));
    line += "/s";
    if (totalKnown && bytesRead < total && bytesRead > 0) {
      // Beyond any real wait; keeps the conversion in range.
      const double kLongest = 1e12;
      const double left =
          std::min(kLongest, std::ceil(static_cast<double>(total - bytesRead) / perSecond));
      line += ", ";
      line += FormatDuration(static_cast<ULONGLONG>(left));
      line += " left";
    }
  }

  line += ", ";
  line += std::to_string(images);
  line += images == 1 ? " image found" : " images found";
  if (line.size() > columns) line.resize(columns);
  return line;
}

// A stream whose flush erases the line; tied to standard output, it is
// flushed before every text written there.
class CProgressLine::CEraseOnFlush : public std::streambuf {
 public:
  explicit CEraseOnFlush(CProgressLine& line) : m_line(line), m_stream(this) {}
  std::ostream& Stream() { return m_stream; }

 protected:
  int sync() override {
    m_line.Erase();
    return 0;
  }

 private:
  CProgressLine& m_line;
  std::ostream m_stream;
};

CProgressLine::CProgressLine() {
  m_enabled = AfxIsErrorTerminal() != FALSE;
  if (!m_enabled) return;
  m_erasesLine = AfxErrorTerminalErasesLine() != FALSE;
  m_eraser = std::make_unique<CEraseOnFlush>(*this);
  m_previousTie = std::cout.tie(&m_eraser->Stream());
}

CProgressLine::~CProgressLine() {
  if (!m_enabled) return;
  Erase();
  // Only our own tie is given back; one that someone set since stays.
  if (std::cout.tie() == &m_eraser->Stream()) std::cout.tie(m_previousTie);
}

void CProgressLine::Update(ULONGLONG bytesRead, ULONGLONG total, size_t images) {
  if (!m_enabled) return;
  const ULONGLONG now = AfxGetMonotonicMilliseconds();
  const bool starting = bytesRead == 0 || !m_reading;
  const bool complete = total != kUnknownLength && bytesRead >= total;
  if (starting) {
    m_reading = true;
    m_start = now;
    m_drewComplete = false;
  }
  const bool due =
      starting || (complete ? !m_drewComplete : now - m_lastDraw >= kRedrawMilliseconds);
  if (!due) return;
  Draw(bytesRead, total, images, now);
  m_lastDraw = now;
  m_drewComplete = complete;
}

void CProgressLine::Draw(ULONGLONG bytesRead, ULONGLONG total, size_t images, ULONGLONG now) {
  // A narrower terminal gets the line cut, one column short of its width.
  const int terminalColumns = AfxGetErrorTerminalColumns();
  const size_t columns = std::min(
      kProgressLineColumns, terminalColumns > 1 ? static_cast<size_t>(terminalColumns - 1) : 0);
  const std::string line = FormatProgressLine(bytesRead, total, images, now - m_start, columns);

  std::string bytes("\r");
  bytes += line;
  if (m_erasesLine)
    bytes += kEraseToEndOfLine;
  else if (m_shown && m_shownLength > line.size())
    bytes.append(m_shownLength - line.size(), ' ');
  // Whatever standard output holds goes to the screen before the line.
  std::cout.rdbuf()->pubsync();
  Put(bytes);
  m_shown = true;
  m_shownLength = line.size();
}

void CProgressLine::Erase() {
  if (!m_shown) return;
  std::string bytes("\r");
  if (m_erasesLine) {
    bytes += kEraseToEndOfLine;
  } else {
    bytes.append(m_shownLength, ' ');
    bytes += '\r';
  }
  Put(bytes);
  m_shown = false;
  m_shownLength = 0;
}

void CProgressLine::Put(const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}
