#include "platform/clock.h"

#include <gtest/gtest.h>

namespace dirsync {
namespace {

TEST(ClockTest, TicksAreMillisecondsThatNeverGoBack) {
  uint64_t before = GetTickCount64();
  Sleep(20);
  uint64_t after = GetTickCount64();
  EXPECT_GE(after, before + 20);
  // Well below a day apart: milliseconds, not micro- or nanoseconds.
  EXPECT_LT(after - before, 86400000u);
  Sleep(0);
  EXPECT_GE(GetTickCount64(), after);
}

}  // namespace
}  // namespace dirsync
