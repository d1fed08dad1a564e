// SPDX-License-Identifier: MIT
// The progress line: how far a scan of the input has come, drawn on standard
// error while it is a terminal and redrawn in place.
//
// FormatProgressLine is a pure function of the figures it is given; the
// class CProgressLine decides when to draw, draws, and erases the line before
// anything else is written to standard output, so the finished screen holds
// exactly what the tool writes without it. When standard error is not a
// terminal the class writes nothing and changes nothing.
#pragma once

#include "platform/afx.h"

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>

// The total a scan reports when the input's length cannot be known.
inline constexpr ULONGLONG kUnknownLength = ~ULONGLONG{0};

// How long reading must have gone on before the line shows a rate and the
// time left: the first moments of a read say little about its pace.
inline constexpr ULONGLONG kRateSettleMilliseconds = 1000;

// The longest line drawn, in columns: one less than an 80-column terminal, so
// that no terminal moves the cursor to the next line.
inline constexpr size_t kProgressLineColumns = 79;

// bytes in binary units: "0 B" to "1023 B", then one decimal in the largest
// unit that gives at least 1 ("1.0 KiB", "12.3 GiB", "931.5 GiB"), up to TiB
// ("2048.0 TiB").
std::string FormatByteCount(ULONGLONG bytes);

// A duration: to the second below an hour ("42s", "8m 02s"), above that
// rounded up to the minute ("2h 05m").
std::string FormatDuration(ULONGLONG seconds);

// The line for bytesRead of total bytes read in elapsedMs milliseconds, with
// images found so far, cut to at most columns characters (plain ASCII, no
// control characters):
//   " 12.3 GiB of 931.5 GiB (1%), 1.9 GiB/s, 8m 02s left, 3 images found"
// The percentage is rounded down and says 100% only when everything is read;
// a total of 0 is complete. The rate and the time left appear once reading
// has gone on for kRateSettleMilliseconds; the time left while bytes remain
// and the rate is not zero. An unknown total (kUnknownLength) gives
// " 12.3 GiB read, 1.9 GiB/s, 3 images found".
std::string FormatProgressLine(ULONGLONG bytesRead, ULONGLONG total, size_t images,
                               ULONGLONG elapsedMs, size_t columns);

class CProgressLine {
 public:
  // Looks once whether standard error is a terminal; when it is not, the
  // object does nothing for its whole life. When it is, the object hooks
  // standard output (its tie) so that any text written there first erases
  // the line.
  CProgressLine();
  // Erases the line and gives standard output back its previous tie.
  ~CProgressLine();
  CProgressLine(const CProgressLine&) = delete;
  CProgressLine& operator=(const CProgressLine&) = delete;

  // A scan's report between reads: bytes read so far, the input's length
  // (or kUnknownLength) and the images found so far. A report of 0 bytes
  // read, or the first report, starts a reading: its clock starts and the
  // line is drawn at once.
  // After that the line is redrawn at most every 100 ms, and once more when
  // everything is read.
  void Update(ULONGLONG bytesRead, ULONGLONG total, size_t images);

  // Takes the line off the screen, if it is shown: a carriage return and
  // ESC [ K, or on a terminal without that sequence a carriage return,
  // blanks over the line and a carriage return.
  void Erase();

 private:
  void Draw(ULONGLONG bytesRead, ULONGLONG total, size_t images, ULONGLONG now);
  static void Put(const std::string& bytes);

  class CEraseOnFlush;

  bool m_enabled = false;
  bool m_erasesLine = false;
  bool m_reading = false;       // a reading has started
  bool m_shown = false;         // a line stands on the screen
  bool m_drewComplete = false;  // this reading's line at 100% is drawn
  size_t m_shownLength = 0;
  ULONGLONG m_start = 0;  // when this reading started
  ULONGLONG m_lastDraw = 0;
  std::unique_ptr<CEraseOnFlush> m_eraser;
  std::ostream* m_previousTie = nullptr;
};
