// The network status in the log: every line of the library's status text
// becomes a log line of its own, behind a timestamp.
#include "core/net_status.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "core/test_support.h"

namespace dirsync {
namespace {

TEST(NetStatusTest, EachLineOfTheStatusIsATimestampedLogLine) {
  testing::LogCapture log;
  LogNetStatus();
  const std::vector<std::string> lines = log.Lines();
  // Before the library starts: nothing open, no thread.
  const char* const expected[] = {
      "Net Status:",
      "    Run Times: \\d+ days \\d\\d:\\d\\d:\\d\\d",
      "    Active Handles: 0",
      "    Deleting Handles: 0",
      "    Deleted Handles: 0",
      "    Listen Ports: 0",
      "\tNet Threads: 0",
  };
  ASSERT_EQ(lines.size(), std::size(expected));
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::regex pattern(std::string("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ") +
                             expected[i] + "\n");
    EXPECT_TRUE(std::regex_match(lines[i], pattern)) << "line " << i << ": " << lines[i];
  }
}

}  // namespace
}  // namespace dirsync
