#include "platform/console_events.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace dirsync {
namespace {

// What the handler saw: event codes and whether it ran off the test thread.
std::mutex seenLock;
std::condition_variable seenChanged;
std::vector<uint32_t> seenEvents;
bool ranOnTestThread = false;
pthread_t testThread;

bool RecordingHandler(uint32_t event) {
  std::lock_guard<std::mutex> lock(seenLock);
  seenEvents.push_back(event);
  if (pthread_equal(pthread_self(), testThread)) ranOnTestThread = true;
  seenChanged.notify_all();
  return true;
}

bool WaitForEvents(size_t count) {
  std::unique_lock<std::mutex> lock(seenLock);
  return seenChanged.wait_for(lock, std::chrono::seconds(10),
                              [&] { return seenEvents.size() >= count; });
}

TEST(ConsoleEventsTest, SignalsStandForTheirConsoleEvents) {
  EXPECT_EQ(ConsoleEventOfSignal(SIGINT), 0);
  EXPECT_EQ(ConsoleEventOfSignal(SIGQUIT), 1);
  EXPECT_EQ(ConsoleEventOfSignal(SIGHUP), 2);
  EXPECT_EQ(ConsoleEventOfSignal(SIGTERM), 6);
  EXPECT_EQ(ConsoleEventOfSignal(SIGUSR1), -1);
}

TEST(ConsoleEventsTest, HandlerRunsOnTheSignalThreadWithTheEventCode) {
  testThread = pthread_self();
  {
    std::lock_guard<std::mutex> lock(seenLock);
    seenEvents.clear();
    ranOnTestThread = false;
  }
  SignalThread signals;
  RouteConsoleEvents(&signals, RecordingHandler);
  ASSERT_TRUE(signals.BlockRoutedSignals());
  ASSERT_TRUE(signals.Start());
  EXPECT_FALSE(signals.Start());  // already running

  // One at a time, so that the order is the order sent.
  const int sent[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(::kill(::getpid(), sent[i]), 0);
    ASSERT_TRUE(WaitForEvents(i + 1)) << "signal " << sent[i];
  }
  signals.Stop();

  std::lock_guard<std::mutex> lock(seenLock);
  EXPECT_EQ(seenEvents, (std::vector<uint32_t>{0, 1, 2, 6}));
  EXPECT_FALSE(ranOnTestThread);
}

TEST(SignalThreadTest, OtherSignalsCanBeRoutedBesideTheConsoleEvents) {
  std::mutex lock;
  std::condition_variable changed;
  int got = 0;
  SignalThread signals;
  RouteConsoleEvents(&signals, RecordingHandler);
  signals.Route(SIGUSR1, [&](int signo) {
    std::lock_guard<std::mutex> guard(lock);
    got = signo;
    changed.notify_all();
  });
  ASSERT_TRUE(signals.BlockRoutedSignals());
  ASSERT_TRUE(signals.Start());
  ASSERT_EQ(::kill(::getpid(), SIGUSR1), 0);
  std::unique_lock<std::mutex> guard(lock);
  EXPECT_TRUE(changed.wait_for(guard, std::chrono::seconds(10),
                               [&] { return got != 0; }));
  EXPECT_EQ(got, SIGUSR1);
}

TEST(SignalThreadTest, StartNeedsARouteAndStopIsSafeWhenIdle) {
  SignalThread signals;
  EXPECT_FALSE(signals.Start());
  signals.Stop();
}

bool DecliningHandler(uint32_t) { return false; }

TEST(ConsoleEventsDeathTest, ADeclinedEventTakesTheSignalsDefaultAction) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SignalThread signals;
        RouteConsoleEvents(&signals, DecliningHandler);
        signals.BlockRoutedSignals();
        signals.Start();
        ::kill(::getpid(), SIGTERM);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::exit(0);
      },
      ::testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
}  // namespace dirsync
