# SPDX-License-Identifier: MIT
# The test cases that cannot run under qemu-user, each with its reason: the
# one place that says which. In a cross build lumvane_add_gtest leaves them
# out of their program's run (a negative --gtest_filter, which GoogleTest
# prints at the top of the run) and the configure step lists them; every
# one still runs in the native suite. Entries: PROGRAM|CASE[:CASE...]|REASON.
set(LUMVANE_QEMU_LIMITS
  # Lumvane refuses to start without its standard handles. A program that
  # a test starts under qemu-user with standard input closed finds it open:
  # the kernel hands qemu the program's file (binfmt_misc's open-binary
  # flag, which qemu-user-binfmt sets) on the lowest free descriptor, 0.
  "tool_run_test|LumvaneRun.FailedStartUpSkipsThePrompt|qemu-user holds descriptor 0 when a program starts with standard input closed"
  # A memory limit (RLIMIT_AS) set for a program run under qemu-user limits
  # nothing: qemu-user accepts the guest's setrlimit and applies none of it
  # to the guest's allocations, so the program never runs out of memory
  # where these cases need it to fail at a point they can name.
  "tool_faults_test|ToolFaultsTest.AnOffsetTableBeyondTheMemoryLimitIsAMessage:ToolFaultsTest.EveryMemoryLimitEndsCleanly|qemu-user accepts a memory limit and applies none of it"
  "kelb_probe_loading_test|ProbeLoadingTest.RunningOutOfMemoryIsAnError|qemu-user accepts a memory limit and applies none of it"
)
if(LUMVANE_CROSS_PROCESSOR STREQUAL "sparc64")
  # qemu-user passes mincore to its host, which answers one entry per page
  # of its own (4 KiB) where the program counts one per page of the target
  # (8 KiB): which pages of a file were cached before a read cannot be told
  # there, and those of another program are dropped with the rest.
  list(APPEND LUMVANE_QEMU_LIMITS
    "platform_tests|CBlockReaderPosix.ReleaseDropsOnlyThePagesItBroughtIn|qemu-user's mincore for sparc64 answers per page of the host, not of the target")
endif()
