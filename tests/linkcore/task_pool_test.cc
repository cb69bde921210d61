// The queue-based pool (KRL_ATaskCreate / KRL_ATaskPutmsg).
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

class TaskPoolTest : public testing::Test {
 protected:
  CallbackProbe probe_;
};

struct QueueCase {
  int queueSize;
  int messagesBeforeWaiting;  // queued while the only worker is busy
};

void PrintTo(const QueueCase& c, std::ostream* out) {
  *out << "queue size " << c.queueSize;
}

class TaskPoolQueueTest : public TaskPoolTest,
                          public testing::WithParamInterface<QueueCase> {};

// Each message counts 24 bytes against the queue's 16 KiB high-water mark,
// which the queue size raises: the queue takes max(queueSize, 683)
// messages, then the producer waits until a worker takes one.
TEST_P(TaskPoolQueueTest, QueueTakesQueueSizeMessagesThenProducerWaits) {
  const QueueCase c = GetParam();
  KRL_Pool* pool = KRL_ATaskCreate(1, c.queueSize, CallbackProbe::Callback);
  ASSERT_NE(pool, nullptr);
  probe_.CloseGate();
  ASSERT_EQ(KRL_ATaskPutmsg(pool, "first", 5, 0), 1);
  ASSERT_TRUE(probe_.WaitEntered(1));  // the worker holds the first one

  const int total = c.messagesBeforeWaiting + 5;
  std::atomic<int> done{0};
  std::atomic<int> wrongCount{0};
  std::thread producer([&] {
    for (int i = 1; i <= total; ++i) {
      const int count = KRL_ATaskPutmsg(pool, "m", 1, i);
      // Until the worker moves, the result is the queue length.
      if (i <= c.messagesBeforeWaiting && count != i) wrongCount.fetch_add(1);
      done.fetch_add(1);
    }
  });
  ASSERT_TRUE(
      Eventually([&] { return done.load() == c.messagesBeforeWaiting; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(done.load(), c.messagesBeforeWaiting) << "producer did not wait";
  EXPECT_EQ(wrongCount.load(), 0);

  probe_.OpenGate();
  producer.join();
  KRL_ATaskDestroy(pool);
  EXPECT_EQ(probe_.delivered(), static_cast<size_t>(total + 1));
}

INSTANTIATE_TEST_SUITE_P(Sizes, TaskPoolQueueTest,
                         testing::Values(QueueCase{0, 683},
                                         QueueCase{1000, 1000}),
                         [](const testing::TestParamInfo<QueueCase>& info) {
                           return "QueueSize" +
                                  std::to_string(info.param.queueSize);
                         });

TEST_F(TaskPoolTest, DestroyRunsEveryQueuedMessageFirst) {
  KRL_Pool* pool = KRL_ATaskCreate(2, 100, CallbackProbe::Callback);
  ASSERT_NE(pool, nullptr);
  probe_.CloseGate();
  probe_.SetWork([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  for (int i = 0; i < 100; ++i) {
    ASSERT_GT(KRL_ATaskPutmsg(pool, "queued", 6, i), 0);
  }
  probe_.OpenGate();
  KRL_ATaskDestroy(pool);
  EXPECT_EQ(probe_.delivered(), 100u);
}

// Without workers nothing runs; a destroy returns at once and frees the
// queued messages (the sanitizer build reports a leak otherwise).
TEST_F(TaskPoolTest, PoolWithoutWorkersQueuesAndDestroyFreesQueue) {
  KRL_Pool* pool = KRL_ATaskCreate(0, 0, CallbackProbe::Callback);
  ASSERT_NE(pool, nullptr);
  for (int i = 1; i <= 10; ++i) {
    EXPECT_EQ(KRL_ATaskPutmsg(pool, "kept", 4, i), i);
  }
  KRL_TaskDestroy(pool);
  EXPECT_EQ(probe_.delivered(), 0u);
}

// When only some threads can start, the failure is logged and the pool
// works with the threads that did start; its destroy does not wait for the
// missing ones.
TEST_F(TaskPoolTest, ThreadStartFailureIsLoggedAndPoolRunsOnStartedThreads) {
  if (!CanLimitThreads()) GTEST_SKIP() << "needs root to cap the thread count";
  std::string errorText;
  const int rc = RunWithThreadLimit(3, [this] {
    KRL_Pool* pool = KRL_ATaskCreate(4, 16, CallbackProbe::Callback);
    if (pool == nullptr) return 10;
    for (int i = 0; i < 20; ++i) {
      if (KRL_ATaskPutmsg(pool, "x", 1, i) < 0) return 11;
    }
    if (!probe_.WaitDelivered(20)) return 12;
    KRL_ATaskDestroy(pool);
    return 0;
  }, &errorText);
  EXPECT_EQ(rc, 0) << errorText;
  EXPECT_NE(errorText.find("KRL_TaskPool::open"), std::string::npos)
      << errorText;
}

}  // namespace
}  // namespace linkcore_test
