#include "app/flush_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

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

// The wait a flush thread sleeps is exactly the time until the batch falls
// due: one tick earlier it is not due, at the end of the wait it is.
TEST(FlushDecisionTest, TheWaitEndsWhenTheBatchFallsDue) {
  struct Case {
    int32_t timeout;
    uint64_t first, last, now;
  };
  const Case cases[] = {
      {10000, 1000, 1000, 1000},  {10000, 1000, 1000, 10999},
      {10000, 1000, 60950, 61000}, {0, 5000, 5000, 5000},
      {250, 100000, 100200, 100300}, {357913941, 1000, 2147483000, 2147483001},
  };
  for (const Case& c : cases) {
    ASSERT_FALSE(IsFlushDue(c.timeout, c.first, c.last, c.now));
    const uint64_t wait = MillisecondsUntilDue(c.timeout, c.first, c.last, c.now);
    ASSERT_GE(wait, 1u);
    if (wait >= 60000) continue;  // capped: the thread looks again then
    EXPECT_FALSE(IsFlushDue(c.timeout, c.first, c.last, c.now + wait - 1))
        << c.timeout << " " << c.now;
    EXPECT_TRUE(IsFlushDue(c.timeout, c.first, c.last, c.now + wait))
        << c.timeout << " " << c.now;
  }
}

class FlushThreadTest : public ::testing::Test {
 protected:
  // A volume with count pending changes, the latest put in at tick.
  std::unique_ptr<VolumeWatch> NewVolume(int32_t timeout, size_t count,
                                         uint64_t tick) {
    auto v = std::make_unique<VolumeWatch>('D', timeout);
    MutexLock guard(&v->lock);
    for (size_t i = 0; i < count; ++i) {
      v->pending.emplace(i + 1, CatalogRecord::Allocate(kRecordHeaderSize));
    }
    v->firstPendingTick = v->lastChangeTick = tick;
    return v;
  }
  // What the journal thread does with a change.
  static void PutChange(VolumeWatch& v, uint64_t ref) {
    MutexLock guard(&v.lock);
    v.pending.emplace(ref, CatalogRecord::Allocate(kRecordHeaderSize));
    v.firstPendingTick = v.lastChangeTick = GetTickCount64();
    v.changed.Signal();
  }
  // What a stop request does.
  void Stop(VolumeWatch& v) {
    running_.store(false);
    MutexLock guard(&v.lock);
    v.changed.SignalAll();
  }
  // Applies the batch, as the volume would.
  static bool Clear(VolumeWatch& v) {
    v.lock.AssertHeld();
    v.pending.clear();
    return true;
  }

  std::atomic<bool> running_{true};
};

TEST_F(FlushThreadTest, DoesNothingWhenStoppedBeforeItStarts) {
  auto v = NewVolume(-1, 1, 0);
  running_.store(false);
  int calls = 0;
  FlushThread(*v, running_, [&](VolumeWatch&) { return ++calls, true; });
  EXPECT_EQ(calls, 0);
}

TEST_F(FlushThreadTest, FinishesTheBatchInHandThenEnds) {
  auto v = NewVolume(-1, 1, 0);
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> finished{0};
  std::thread flush([&] {
    FlushThread(*v, running_, [&](VolumeWatch& volume) {
      entered.set_value();
      released.wait();  // a long batch; the stop arrives meanwhile
      ++finished;
      return Clear(volume);
    });
  });
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(10)),
            std::future_status::ready);
  running_.store(false);  // the lock is held by the batch: no signal yet
  release.set_value();
  flush.join();
  EXPECT_EQ(finished.load(), 1);
  MutexLock guard(&v->lock);
  EXPECT_TRUE(v->pending.empty());
}

// Without polling: a change wakes the thread, which waits out the quiet
// period before applying; a stop wakes a thread that has nothing to do.
TEST_F(FlushThreadTest, AChangeIsAppliedAfterItsQuietPeriodAndAStopWakesTheThread) {
  constexpr int32_t kQuietMs = 150;
  auto v = NewVolume(kQuietMs, 0, 0);
  std::atomic<int> batches{0};
  std::atomic<uint64_t> appliedAt{0};
  std::thread flush([&] {
    FlushThread(*v, running_, [&](VolumeWatch& volume) {
      appliedAt = GetTickCount64();
      ++batches;
      return Clear(volume);
    });
  });
  const uint64_t put = GetTickCount64();
  PutChange(*v, 7);
  for (int i = 0; i < 2000 && batches.load() < 1; ++i) Sleep(5);
  ASSERT_EQ(batches.load(), 1);
  EXPECT_GT(appliedAt.load(), put + kQuietMs - 1);
  PutChange(*v, 8);
  for (int i = 0; i < 2000 && batches.load() < 2; ++i) Sleep(5);
  EXPECT_EQ(batches.load(), 2);
  Stop(*v);  // the thread waits with nothing pending
  flush.join();
}

TEST_F(FlushThreadTest, ABatchLeftForLaterIsTriedAgain) {
  auto v = NewVolume(0, 1, 0);
  std::atomic<int> calls{0};
  std::thread flush([&] {
    FlushThread(*v, running_, [&](VolumeWatch& volume) {
      // The first try finds the tree still moving.
      if (++calls == 1) return false;
      return Clear(volume);
    });
  });
  for (int i = 0; i < 2000 && calls.load() < 2; ++i) Sleep(5);
  Stop(*v);
  flush.join();
  EXPECT_EQ(calls.load(), 2);
}

}  // namespace
}  // namespace dirsync
