// The network status in the log: every line of the library's status text
// becomes a log line of its own, behind a timestamp.
#include "app/net_status.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace dirsync {
namespace {

TEST(NetStatusTest, EachLineOfTheStatusIsATimestampedLogLine) {
  testing::LogCapture log;
  LogNetStatus();
  const std::vector<std::string> lines = log.Lines();
  // The figures depend on what the process did before (the running
  // server's are checked by the program test); the items, their order and
  // their indentation do not.
  const char* const expected[] = {
      "Net Status:",
      "    Run Times: \\d+ days \\d\\d:\\d\\d:\\d\\d",
      "    Active Handles: \\d+",
      "    Deleting Handles: \\d+",
      "    Deleted Handles: \\d+",
      "    Listen Ports: \\d+",
      "\tNet Threads: \\d+",
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
