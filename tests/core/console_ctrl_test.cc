#include "core/console_ctrl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "core/test_support.h"

namespace dirsync {
namespace {

class ConsoleCtrlTest : public testing::ServerGlobalsTest {
 protected:
  void SetUp() override {
    ServerGlobalsTest::SetUp();
    ResetServerStopForTesting();
  }
  void TearDown() override {
    StopServer();  // never leave a waiter behind
    ServerGlobalsTest::TearDown();
  }
};

TEST_F(ConsoleCtrlTest, StopEventsClearRunningAndReleaseTheWait) {
  for (uint32_t event : {0u, 1u, 2u, 5u, 6u}) {
    ResetServerStopForTesting();
    running.store(true);
    auto waiter = std::async(std::launch::async, WaitForServerStop);
    EXPECT_TRUE(ConsoleCtrlHandler(event)) << event;
    EXPECT_FALSE(running.load()) << event;
    EXPECT_EQ(waiter.wait_for(std::chrono::seconds(10)),
              std::future_status::ready)
        << event;
  }
}

TEST_F(ConsoleCtrlTest, OtherEventsAreLeftToTheNextHandler) {
  auto waiter = std::async(std::launch::async, WaitForServerStop);
  for (uint32_t event : {3u, 4u, 7u, 100u}) {
    EXPECT_FALSE(ConsoleCtrlHandler(event)) << event;
  }
  EXPECT_TRUE(running.load());
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)),
            std::future_status::timeout);
  StopServer();
  EXPECT_EQ(waiter.wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
}

TEST_F(ConsoleCtrlTest, AWaitAfterTheStopReturnsAtOnceAndStopsTwiceSafely) {
  EXPECT_TRUE(ConsoleCtrlHandler(0));
  EXPECT_TRUE(ConsoleCtrlHandler(6));
  auto waiter = std::async(std::launch::async, WaitForServerStop);
  EXPECT_EQ(waiter.wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
}

}  // namespace
}  // namespace dirsync
