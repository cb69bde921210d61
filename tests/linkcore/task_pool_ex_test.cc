// The record-based pool (KRL_TaskCreate / KRL_TaskPutmsg).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include "linkcore.h"
#include "pool_probe.h"

namespace linkcore_test {
namespace {

class TaskPoolExTest : public testing::Test {
 protected:
  CallbackProbe probe_;
};

struct RecordCase {
  int queueSize;
  int records;  // max(queueSize + 1024, 2048)
};

void PrintTo(const RecordCase& c, std::ostream* out) {
  *out << "queue size " << c.queueSize;
}

class TaskPoolExRecordTest : public TaskPoolExTest,
                             public testing::WithParamInterface<RecordCase> {};

// Producers wait while fewer than 1024 records are free. With the only
// worker busy, every put takes a record, so exactly records - 1023 puts
// complete before the producer waits: that count reveals the record count.
TEST_P(TaskPoolExRecordTest, ProducerWaitsWhenFreeRecordsFallBelow1024) {
  const RecordCase c = GetParam();
  KRL_Pool* pool = KRL_TaskCreate(1, c.queueSize, CallbackProbe::Callback);
  ASSERT_NE(pool, nullptr);
  probe_.CloseGate();
  ASSERT_NE(KRL_TaskPutmsg(pool, "first", 5, 0), -1);
  ASSERT_TRUE(probe_.WaitEntered(1));

  const int completing = c.records - 1023;
  const int total = completing + 5;
  std::atomic<int> done{0};
  std::atomic<int> handedOver{0};
  std::thread producer([&] {
    for (int i = 1; i < total; ++i) {
      if (KRL_TaskPutmsg(pool, "m", 1, i) != 0) handedOver.fetch_add(1);
      done.fetch_add(1);
    }
  });
  // The first put is counted in `completing` but was made above.
  ASSERT_TRUE(Eventually([&] { return done.load() == completing - 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(done.load(), completing - 1) << "producer did not wait";
  EXPECT_EQ(handedOver.load(), 0) << "the only worker is busy: all queued";

  probe_.OpenGate();
  producer.join();
  ASSERT_TRUE(probe_.WaitDelivered(total));
  KRL_TaskDestroy(pool);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TaskPoolExRecordTest,
                         testing::Values(RecordCase{0, 2048},
                                         RecordCase{5000, 6024}),
                         [](const testing::TestParamInfo<RecordCase>& info) {
                           return "QueueSize" +
                                  std::to_string(info.param.queueSize);
                         });

TEST_F(TaskPoolExTest, PutReturnsOneForIdleWorkerAndZeroWhenAllBusy) {
  KRL_Pool* pool = KRL_TaskCreate(2, 0, CallbackProbe::Callback);
  ASSERT_NE(pool, nullptr);
  // Workers become idle shortly after start; a put while none is idle is
  // queued instead (0), so try until one is handed over.
  int handedOver = 0;
  int puts = 0;
  ASSERT_TRUE(Eventually([&] {
    ++puts;
    handedOver = KRL_TaskPutmsg(pool, "idle", 4, 0);
    return handedOver == 1;
  }));
  ASSERT_TRUE(probe_.WaitDelivered(puts));

  probe_.CloseGate();
  const int enteredBefore = probe_.entered();
  ASSERT_NE(KRL_TaskPutmsg(pool, "a", 1, 1), -1);
  ASSERT_NE(KRL_TaskPutmsg(pool, "b", 1, 2), -1);
  ASSERT_TRUE(probe_.WaitEntered(enteredBefore + 2));  // both workers busy
  EXPECT_EQ(KRL_TaskPutmsg(pool, "c", 1, 3), 0);
  EXPECT_EQ(KRL_TaskPutmsg(pool, "d", 1, 4), 0);
  probe_.OpenGate();
  ASSERT_TRUE(probe_.WaitDelivered(puts + 4));
  KRL_TaskDestroy(pool);
}

// A destroy lets the busy worker finish its message and drops the queued
// ones without their callback; their bytes are freed (the sanitizer build
// reports a leak otherwise).
TEST_F(TaskPoolExTest, DestroyOfBusyPoolDropsQueuedMessages) {
  KRL_Pool* pool = KRL_TaskCreate(1, 0, CallbackProbe::Callback);
  ASSERT_NE(pool, nullptr);
  probe_.CloseGate();
  ASSERT_NE(KRL_TaskPutmsg(pool, "busy", 4, 0), -1);
  ASSERT_TRUE(probe_.WaitEntered(1));
  for (int i = 1; i <= 50; ++i) {
    ASSERT_EQ(KRL_TaskPutmsg(pool, "queued bytes", 12, i), 0);
  }

  std::atomic<pid_t> destroyerTid{0};
  std::thread destroyer([&] {
    KRL_TaskDestroy(nullptr);  // resolve the symbol before timing matters
    destroyerTid = CurrentTid();
    KRL_TaskDestroy(pool);
  });
  // Once the destroyer sleeps it is waiting for the worker, so the pool has
  // already stopped taking messages.
  ASSERT_TRUE(Eventually([&] { return destroyerTid.load() != 0; }));
  ASSERT_TRUE(WaitUntilThreadSleeps(destroyerTid.load()));
  probe_.OpenGate();
  destroyer.join();
  EXPECT_EQ(probe_.delivered(), 1u);
}

TEST_F(TaskPoolExTest, PoolWithoutWorkersQueuesAndDestroyFreesQueue) {
  KRL_Pool* pool = KRL_TaskCreate(0, 0, CallbackProbe::Callback);
  ASSERT_NE(pool, nullptr);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(KRL_TaskPutmsg(pool, "kept", 4, i), 0);
  }
  KRL_ATaskDestroy(pool);
  EXPECT_EQ(probe_.delivered(), 0u);
}

TEST_F(TaskPoolExTest, ThreadStartFailureIsLoggedAndPoolRunsOnStartedThreads) {
  if (!CanLimitThreads()) GTEST_SKIP() << "needs root to cap the thread count";
  std::string errorText;
  const int rc = RunWithThreadLimit(3, [this] {
    KRL_Pool* pool = KRL_TaskCreate(4, 0, CallbackProbe::Callback);
    if (pool == nullptr) return 10;
    for (int i = 0; i < 20; ++i) {
      if (KRL_TaskPutmsg(pool, "x", 1, i) < 0) return 11;
    }
    if (!probe_.WaitDelivered(20)) return 12;
    KRL_TaskDestroy(pool);
    return 0;
  }, &errorText);
  EXPECT_EQ(rc, 0) << errorText;
  EXPECT_NE(errorText.find("KRL_TaskPoolEx::open"), std::string::npos)
      << errorText;
}

}  // namespace
}  // namespace linkcore_test
