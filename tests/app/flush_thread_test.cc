#include "app/flush_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "platform/clock.h"

namespace dirsync {
namespace {

TEST(FlushDecisionTest, NegativeTimeoutIsAlwaysDue) {
  EXPECT_TRUE(IsFlushDue(-1, 5000, 5000, 5000));
  EXPECT_TRUE(IsFlushDue(-1, 0, 0, 0));
  EXPECT_TRUE(IsFlushDue(INT32_MIN, 9000, 9000, 1));
}

TEST(FlushDecisionTest, ZeroTimeoutIsDueOnceTheTickPassesTheLatestChange) {
  EXPECT_FALSE(IsFlushDue(0, 5000, 5000, 5000));
  EXPECT_TRUE(IsFlushDue(0, 5000, 5000, 5001));
}

TEST(FlushDecisionTest, DueAfterAQuietPeriodOrSixOfThem) {
  // Quiet since 1000.
  EXPECT_FALSE(IsFlushDue(10000, 1000, 1000, 11000));
  EXPECT_TRUE(IsFlushDue(10000, 1000, 1000, 11001));
  // Changes keep coming, the oldest waits since 1000.
  EXPECT_FALSE(IsFlushDue(10000, 1000, 60950, 61000));
  EXPECT_TRUE(IsFlushDue(10000, 1000, 60950, 61001));
}

TEST(FlushDecisionTest, SixFoldWaitIsA32BitProduct) {
  // The largest timeout whose product fits: no wrap.
  const int32_t t = 357913941;  // 6 * t = 2147483646
  const uint64_t first = 1000;
  const uint64_t recent = first + 2147483000u;
  EXPECT_FALSE(IsFlushDue(t, first, recent, first + 2147483646u));
  EXPECT_TRUE(IsFlushDue(t, first, recent, first + 2147483647u));
  // One more and the product wraps negative: the widened sum lies before
  // the first change, so the batch is due at once.
  const uint64_t start = 5000000000u;
  EXPECT_TRUE(IsFlushDue(t + 1, start, start, start + 1));
  // ... unless the sum wraps below zero: then never by this condition.
  EXPECT_FALSE(IsFlushDue(t + 1, 1000, 1000, 2000));
}

// A volume that gets a change every 100 ms with the default timeout, swept
// every 10 ms: its batch is applied once the first change of the batch has
// waited six timeouts, and the next batch starts with the next change.
TEST(FlushDecisionTest, AVolumeThatNeverFallsQuietIsAppliedEverySixtySeconds) {
  const int32_t timeout = 10000;
  const uint64_t start = 1000000;
  bool pending = false;
  uint64_t first = 0, last = 0;
  std::vector<uint64_t> applied;
  for (uint64_t now = start; now <= start + 130000; now += 10) {
    if ((now - start) % 100 == 0) {  // the journal thread
      if (!pending) first = now;
      last = now;
      pending = true;
    }
    if (pending && IsFlushDue(timeout, first, last, now)) {  // the sweep
      applied.push_back(now);
      pending = false;
    }
  }
  ASSERT_EQ(applied.size(), 2u);
  EXPECT_EQ(applied[0], start + 60010);
  // The next change after the batch is at start + 60100.
  EXPECT_EQ(applied[1], start + 60100 + 60010);
}

class SweepTest : public testing::ServerGlobalsTest {
 protected:
  VolumeWatch* AddVolume(char letter, int32_t timeout, size_t pendingCount,
                         uint64_t lastChange) {
    auto* v = new VolumeWatch;
    v->driveLetter = letter;
    v->timeout = timeout;
    for (size_t i = 0; i < pendingCount; ++i) {
      v->pending.emplace(i + 1, CatalogRecord::Allocate(kRecordHeaderSize));
    }
    v->firstPendingTick = lastChange;
    v->lastChangeTick = lastChange;
    volumes[static_cast<unsigned char>(letter)] = v;
    return v;
  }
};

TEST_F(SweepTest, AppliesDueVolumesInSlotOrderUnderTheLock) {
  const uint64_t now = GetTickCount64();
  AddVolume('D', -1, 2, now);
  AddVolume('C', 0, 1, now - 5);
  AddVolume('E', 10000, 3, now);  // not quiet long enough
  AddVolume('F', -1, 0, 0);       // nothing pending
  std::string order;
  std::vector<bool> lockHeld;
  SweepVolumes([&](VolumeWatch& v) {
    order += v.driveLetter;
    // Another thread cannot take volumesLock while the sweep applies.
    lockHeld.push_back(std::async(std::launch::async, [] {
                         bool got = volumesLock.try_lock();
                         if (got) volumesLock.unlock();
                         return !got;
                       }).get());
    v.pending.clear();
  });
  EXPECT_EQ(order, "CD");
  EXPECT_EQ(lockHeld, (std::vector<bool>{true, true}));
  EXPECT_EQ(volumes['E']->pending.size(), 3u);
}

TEST_F(SweepTest, FlushThreadDoesNothingWhenStoppedBeforeItStarts) {
  AddVolume('D', -1, 1, 0);
  running.store(false);
  int calls = 0;
  FlushThread([&](VolumeWatch&) { ++calls; });
  EXPECT_EQ(calls, 0);
}

TEST_F(SweepTest, FlushThreadFinishesTheBatchInHandThenEnds) {
  AddVolume('D', -1, 1, 0);
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> finished{0};
  std::thread flush(FlushThread, [&](VolumeWatch& v) {
    entered.set_value();
    released.wait();  // a long batch; the stop arrives meanwhile
    v.pending.clear();
    ++finished;
  });
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
  running.store(false);
  release.set_value();
  flush.join();
  EXPECT_EQ(finished.load(), 1);
  EXPECT_TRUE(volumes['D']->pending.empty());
}

TEST_F(SweepTest, FlushThreadKeepsSweepingWhileRunning) {
  VolumeWatch* v = AddVolume('D', 0, 1, 0);
  std::atomic<int> batches{0};
  std::thread flush(FlushThread, [&](VolumeWatch& volume) {
    volume.pending.clear();
    ++batches;
  });
  // A second batch arrives after the first was applied, as the journal
  // thread would put it, under the lock.
  for (int i = 0; i < 1000 && batches.load() < 1; ++i) Sleep(5);
  {
    std::lock_guard<std::mutex> lock(volumesLock);
    v->pending.emplace(7, CatalogRecord::Allocate(kRecordHeaderSize));
    v->firstPendingTick = v->lastChangeTick = GetTickCount64();
  }
  for (int i = 0; i < 1000 && batches.load() < 2; ++i) Sleep(5);
  running.store(false);
  flush.join();
  EXPECT_EQ(batches.load(), 2);
}

}  // namespace
}  // namespace dirsync
