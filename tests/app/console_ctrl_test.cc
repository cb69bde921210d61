#include "app/console_ctrl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "app/server.h"
#include "linkcore.h"

namespace dirsync {
namespace {

class ConsoleCtrlTest : public ::testing::Test {
 protected:
  std::unique_ptr<Server> NewServer() {
    Server::Options options;
    options.programDirectory = "/nonexistent/";
    return std::make_unique<Server>(options);
  }
};

TEST_F(ConsoleCtrlTest, StopEventsClearRunning) {
  for (uint32_t event : {0u, 1u, 2u, 5u, 6u}) {
    auto server = NewServer();
    ASSERT_TRUE(server->running());
    EXPECT_TRUE(ConsoleCtrlHandler(*server, event)) << event;
    EXPECT_FALSE(server->running()) << event;
  }
}

TEST_F(ConsoleCtrlTest, OtherEventsAreLeftToTheNextHandler) {
  auto server = NewServer();
  for (uint32_t event : {3u, 4u, 7u, 100u}) {
    EXPECT_FALSE(ConsoleCtrlHandler(*server, event)) << event;
  }
  EXPECT_TRUE(server->running());
}

// The network library starts once per process; this test runs in a
// process of its own (each test does).
TEST_F(ConsoleCtrlTest, AStopEventReleasesTheMainThreadWaitingForTheNetwork) {
  auto server = NewServer();
  ASSERT_EQ(KRL_NetInit(1), 1);
  auto waiter = std::async(std::launch::async, KRL_NetWaitFini);
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)),
            std::future_status::timeout);
  EXPECT_TRUE(ConsoleCtrlHandler(*server, 0));
  EXPECT_EQ(waiter.wait_for(std::chrono::seconds(20)),
            std::future_status::ready);
  EXPECT_TRUE(ConsoleCtrlHandler(*server, 6));  // a second event changes nothing
}

}  // namespace
}  // namespace dirsync
