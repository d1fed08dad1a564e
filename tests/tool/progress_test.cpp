// SPDX-License-Identifier: MIT
// The progress line's formatter: units, percentage, rate and time left, the
// unknown total, and the cut to a terminal's width.
#include "tool/progress.h"

#include <gtest/gtest.h>

namespace {

constexpr ULONGLONG KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024, TiB = GiB * 1024;
constexpr size_t kWide = 1000;  // no cut

TEST(ProgressFormat, ByteCountsInBinaryUnitsUpToTiB) {
  EXPECT_EQ(FormatByteCount(0), "0 B");
  EXPECT_EQ(FormatByteCount(1023), "1023 B");
  EXPECT_EQ(FormatByteCount(KiB), "1.0 KiB");
  EXPECT_EQ(FormatByteCount(KiB + KiB / 2), "1.5 KiB");
  // Just below a unit: printed with one decimal it would read 1024.0.
  EXPECT_EQ(FormatByteCount(MiB - 1), "1.0 MiB");
  EXPECT_EQ(FormatByteCount(MiB - 52), "1023.9 KiB");
  EXPECT_EQ(FormatByteCount(12 * GiB + 3 * GiB / 10 + MiB), "12.3 GiB");
  EXPECT_EQ(FormatByteCount(1000204886016ULL), "931.5 GiB");  // a "1 TB" disk
  EXPECT_EQ(FormatByteCount(TiB), "1.0 TiB");
  EXPECT_EQ(FormatByteCount(2048 * TiB), "2048.0 TiB");
  EXPECT_EQ(FormatByteCount(~ULONGLONG{0}), "16777216.0 TiB");
}

// Seconds under a minute, then the two largest units, rounded up.
TEST(ProgressFormat, DurationsInTheTwoLargestUnitsRoundedUp) {
  EXPECT_EQ(FormatDuration(0), "0s");
  EXPECT_EQ(FormatDuration(59), "59s");
  EXPECT_EQ(FormatDuration(60), "1m 00s");
  EXPECT_EQ(FormatDuration(482), "8m 02s");
  EXPECT_EQ(FormatDuration(3599), "59m 59s");
  EXPECT_EQ(FormatDuration(3600), "1h 00m");
  EXPECT_EQ(FormatDuration(3601), "1h 01m");  // rounded up, never short
  EXPECT_EQ(FormatDuration(2 * 3600 + 5 * 60), "2h 05m");
}

TEST(ProgressFormat, PercentageFromStartToEnd) {
  EXPECT_EQ(FormatProgressLine(0, 931 * GiB, 0, 0, kWide),
            " 0 B of 931.0 GiB (0%), 0 images found");
  EXPECT_EQ(FormatProgressLine(GiB, 100 * GiB, 1, 0, kWide),
            " 1.0 GiB of 100.0 GiB (1%), 1 image found");
  // Rounded down: one byte short is not done.
  EXPECT_EQ(FormatProgressLine(100 * GiB - 1, 100 * GiB, 2, 0, kWide),
            " 100.0 GiB of 100.0 GiB (99%), 2 images found");
  EXPECT_EQ(FormatProgressLine(100 * GiB, 100 * GiB, 2, 0, kWide),
            " 100.0 GiB of 100.0 GiB (100%), 2 images found");
  // An empty input is read as soon as reading starts.
  EXPECT_EQ(FormatProgressLine(0, 0, 0, 0, kWide), " 0 B of 0 B (100%), 0 images found");
}

TEST(ProgressFormat, RateAndTimeLeftOnceTheRateIsKnown) {
  const ULONGLONG total = 1000204886016ULL;
  // Before the rate settles: neither rate nor time left.
  EXPECT_EQ(FormatProgressLine(GiB, total, 3, kRateSettleMilliseconds - 1, kWide),
            " 1.0 GiB of 931.5 GiB (0%), 3 images found");
  // 12.3 GiB in 6.4 s is 1.9 GiB/s; the 919.2 GiB left take 478.3 s,
  // shown rounded up.
  const ULONGLONG read = 13207024435ULL;  // 12.3 GiB
  EXPECT_EQ(FormatProgressLine(read, total, 3, 6400, kWide),
            " 12.3 GiB of 931.5 GiB (1%), 1.9 GiB/s, 7m 59s left, 3 images found");
  // Done: the rate stays, nothing is left.
  EXPECT_EQ(FormatProgressLine(total, total, 17, 500000, kWide),
            " 931.5 GiB of 931.5 GiB (100%), 1.9 GiB/s, 17 images found");
  // Nothing read after the settling time: a rate of 0 gives no time left.
  EXPECT_EQ(FormatProgressLine(0, total, 0, 5000, kWide),
            " 0 B of 931.5 GiB (0%), 0 B/s, 0 images found");
  // A wait beyond any number of seconds is held at 10^12 s.
  EXPECT_EQ(FormatProgressLine(1, 1000 * TiB, 0, 100000000, kWide),
            " 1 B of 1000.0 TiB (0%), 0 B/s, 277777777h 47m left, 0 images found");
}

TEST(ProgressFormat, WithoutATotalTheLineSaysWhatWasRead) {
  EXPECT_EQ(FormatProgressLine(0, kUnknownLength, 0, 0, kWide), " 0 B read, 0 images found");
  EXPECT_EQ(FormatProgressLine(5 * GiB, kUnknownLength, 4, 2000, kWide),
            " 5.0 GiB read, 2.5 GiB/s, 4 images found");
}

TEST(ProgressFormat, CutToTheWidth) {
  const std::string full =
      FormatProgressLine(13207024435ULL, 1000204886016ULL, 123456, 6400, kWide);
  ASSERT_EQ(full, " 12.3 GiB of 931.5 GiB (1%), 1.9 GiB/s, 7m 59s left, 123456 images found");
  EXPECT_EQ(FormatProgressLine(13207024435ULL, 1000204886016ULL, 123456, 6400, full.size()), full);
  EXPECT_EQ(FormatProgressLine(13207024435ULL, 1000204886016ULL, 123456, 6400, 29),
            " 12.3 GiB of 931.5 GiB (1%), ");
  EXPECT_EQ(FormatProgressLine(13207024435ULL, 1000204886016ULL, 123456, 6400, 0), "");
}

}  // namespace
