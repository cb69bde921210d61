#include "core/log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace dirsync {
namespace {

std::tm FixedTime() {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 7;
  t.tm_min = 8;
  t.tm_sec = 9;
  return t;
}

std::string Format(const char* format, ...) {
  char buffer[kLogLineSize];
  va_list args;
  va_start(args, format);
  FormatLogLine(buffer, sizeof buffer, FixedTime(), format, args);
  va_end(args);
  return buffer;
}

TEST(LogFormatTest, TimestampAndItsIgnoredWidth) {
  EXPECT_EQ(Format("%D Exit!\n"), "2024-03-05 07:08:09 Exit!\n");
  EXPECT_EQ(Format("%5D"), "2024-03-05 07:08:09");
}

TEST(LogFormatTest, SixtyFourBitIntegers) {
  EXPECT_EQ(Format("%L", int64_t{-1}), "-1");
  EXPECT_EQ(Format("%L", int64_t{4294967296}), "4294967296");
  EXPECT_EQ(Format("%-20L|", int64_t{42}), "42|");
}

TEST(LogFormatTest, PercentAndUnfinishedSpecifiers) {
  EXPECT_EQ(Format("100%%"), "100%");
  EXPECT_EQ(Format("abc %"), "abc ");
  EXPECT_EQ(Format("abc %-5"), "abc ");
  EXPECT_EQ(Format(""), "");
}

TEST(LogFormatTest, RuntimeConversions) {
  EXPECT_EQ(Format("%c", 0x141), "A");
  EXPECT_EQ(Format("%.3s", "abcdef"), "abc");
  EXPECT_EQ(Format("[%5d]", 42), "[   42]");
  EXPECT_EQ(Format("%d", 255 - 256), "-1");
  EXPECT_EQ(Format("%x", 255), "ff");
  EXPECT_EQ(Format("%.2f", 1.5), "1.50");
  EXPECT_EQ(Format("%ld", 7), "7");  // length letters never widen the argument
}

TEST(LogFormatTest, LongLinesAreCutAtTheBuffer) {
  std::string big(5000, 'x');
  std::string line = Format("%s and more", big.c_str());
  EXPECT_EQ(line.size(), kLogLineSize - 1);
  EXPECT_EQ(line, std::string(kLogLineSize - 1, 'x'));
  std::string plain(3000, 'y');
  EXPECT_EQ(Format(plain.c_str()).size(), kLogLineSize - 1);
}

}  // namespace
}  // namespace dirsync
