#include "app/console_ctrl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "support/test_support.h"
#include "linkcore.h"

namespace dirsync {
namespace {

using ConsoleCtrlTest = testing::ServerGlobalsTest;

TEST_F(ConsoleCtrlTest, StopEventsClearRunning) {
  for (uint32_t event : {0u, 1u, 2u, 5u, 6u}) {
    running.store(true);
    EXPECT_TRUE(ConsoleCtrlHandler(event)) << event;
    EXPECT_FALSE(running.load()) << event;
  }
}

TEST_F(ConsoleCtrlTest, OtherEventsAreLeftToTheNextHandler) {
  for (uint32_t event : {3u, 4u, 7u, 100u}) {
    EXPECT_FALSE(ConsoleCtrlHandler(event)) << event;
  }
  EXPECT_TRUE(running.load());
}

// The network library starts once per process; this test runs in a
// process of its own (each test does).
TEST_F(ConsoleCtrlTest, AStopEventReleasesTheMainThreadWaitingForTheNetwork) {
  ASSERT_EQ(KRL_NetInit(1), 1);
  auto waiter = std::async(std::launch::async, KRL_NetWaitFini);
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)),
            std::future_status::timeout);
  EXPECT_TRUE(ConsoleCtrlHandler(0));
  EXPECT_EQ(waiter.wait_for(std::chrono::seconds(20)),
            std::future_status::ready);
  EXPECT_TRUE(ConsoleCtrlHandler(6));  // a second event changes nothing
}

}  // namespace
}  // namespace dirsync
