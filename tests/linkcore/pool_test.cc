// Behaviour shared by both pool kinds, run against each of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "linkcore.h"
#include "pool_probe.h"

namespace linkcore_test {
namespace {

struct PoolKind {
  const char* name;
  KRL_Pool* (*create)(int threadCount, int queueSize, TaskCallback callback);
  int (*put)(KRL_Pool* pool, const void* data, int length, uint64_t param);
  // The put function of the other kind, which must refuse this kind.
  int (*otherPut)(KRL_Pool* pool, const void* data, int length,
                  uint64_t param);
};

void PrintTo(const PoolKind& kind, std::ostream* out) { *out << kind.name; }

const PoolKind kQueuePool{"QueuePool", KRL_ATaskCreate, KRL_ATaskPutmsg,
                          KRL_TaskPutmsg};
const PoolKind kRecordPool{"RecordPool", KRL_TaskCreate, KRL_TaskPutmsg,
                           KRL_ATaskPutmsg};

class PoolTest : public testing::TestWithParam<PoolKind> {
 protected:
  CallbackProbe probe_;
};

TEST_P(PoolTest, DeliversOwnCopyOfBytesAndParam) {
  KRL_Pool* pool = GetParam().create(2, 16, CallbackProbe::Callback);
  ASSERT_NE(pool, nullptr);
  probe_.CloseGate();
  char bytes[] = "hello";
  ASSERT_NE(GetParam().put(pool, bytes, 5, 42), -1);
  bytes[0] = 'j';  // the pool must have taken its own copy
  // No bytes: null pointer, zero length, negative length.
  ASSERT_NE(GetParam().put(pool, nullptr, 7, 7), -1);
  ASSERT_NE(GetParam().put(pool, "x", 0, 0xFFFFFFFFFFFFFFFFull), -1);
  ASSERT_NE(GetParam().put(pool, "y", -3, 9), -1);
  probe_.OpenGate();
  ASSERT_TRUE(probe_.WaitDelivered(4));

  std::vector<Delivery> got = probe_.deliveries();
  std::sort(got.begin(), got.end(), [](const Delivery& a, const Delivery& b) {
    return a.param < b.param;
  });
  EXPECT_EQ(got[0].param, 7u);
  EXPECT_EQ(got[1].param, 9u);
  EXPECT_EQ(got[2].param, 42u);
  EXPECT_EQ(got[2].bytes, "hello");
  EXPECT_EQ(got[2].length, 5u);
  EXPECT_FALSE(got[2].dataNull);
  EXPECT_EQ(got[3].param, 0xFFFFFFFFFFFFFFFFull);
  for (int i : {0, 1, 3}) {
    EXPECT_TRUE(got[i].dataNull) << got[i].param;
    EXPECT_EQ(got[i].length, 0u) << got[i].param;
  }
  for (const Delivery& d : got) EXPECT_EQ(d.pool, pool);
  KRL_TaskDestroy(pool);
}

TEST_P(PoolTest, PutRefusesOtherKindAndNull) {
  KRL_Pool* pool = GetParam().create(1, 0, CallbackProbe::Callback);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(GetParam().otherPut(pool, "x", 1, 1), -1);
  EXPECT_EQ(GetParam().put(nullptr, "x", 1, 1), -1);
  EXPECT_EQ(GetParam().create(-1, 0, CallbackProbe::Callback), nullptr);
  KRL_TaskDestroy(pool);
  EXPECT_EQ(probe_.delivered(), 0u);
}

// Run under the sanitizer build, a destroy that took the wrong path (wrong
// destructor, leaked bytes or records) is reported there.
TEST_P(PoolTest, BothDestroyNamesDestroyThisKind) {
  for (void (*destroy)(KRL_Pool*) : {KRL_TaskDestroy, KRL_ATaskDestroy}) {
    KRL_Pool* pool = GetParam().create(3, 8, CallbackProbe::Callback);
    ASSERT_NE(pool, nullptr);
    const size_t before = probe_.delivered();
    ASSERT_NE(GetParam().put(pool, "payload", 7, 1), -1);
    ASSERT_TRUE(probe_.WaitDelivered(before + 1));
    destroy(pool);
    destroy(nullptr);  // ignored
  }
}

// A destroy from the pool's own callback would wait for itself; it is
// refused and the pool keeps working.
KRL_Pool* selfDestroyTarget = nullptr;
std::atomic<int> selfDestroyCalls{0};
void DestroyOwnPool(KRL_Pool* pool, const char*, unsigned, uint64_t) {
  selfDestroyTarget = pool;
  KRL_TaskDestroy(pool);
  selfDestroyCalls.fetch_add(1);
}

TEST_P(PoolTest, DestroyInsideOwnCallbackIsRefused) {
  selfDestroyCalls = 0;
  KRL_Pool* pool = GetParam().create(1, 0, DestroyOwnPool);
  ASSERT_NE(pool, nullptr);
  ASSERT_NE(GetParam().put(pool, "a", 1, 1), -1);
  ASSERT_NE(GetParam().put(pool, "b", 1, 2), -1);
  ASSERT_TRUE(Eventually([] { return selfDestroyCalls.load() == 2; }));
  EXPECT_EQ(selfDestroyTarget, pool);
  KRL_TaskDestroy(pool);
}

TEST_P(PoolTest, ManyProducersDeliverEveryMessageExactlyOnce) {
  constexpr int kProducers = 8;
  constexpr int kPerProducer = 3000;
  constexpr int kTotal = kProducers * kPerProducer;
  // A small queue, so that producers also wait for room.
  KRL_Pool* pool = GetParam().create(4, 0, CallbackProbe::Callback);
  ASSERT_NE(pool, nullptr);
  std::atomic<int> refused{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        const uint64_t param = static_cast<uint64_t>(p) * kPerProducer + i;
        const std::string bytes = "m" + std::to_string(param);
        if (GetParam().put(pool, bytes.data(), static_cast<int>(bytes.size()),
                           param) == -1) {
          refused.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& t : producers) t.join();
  EXPECT_EQ(refused.load(), 0);
  ASSERT_TRUE(probe_.WaitDelivered(kTotal));
  KRL_TaskDestroy(pool);

  std::vector<int> seen(kTotal, 0);
  for (const Delivery& d : probe_.deliveries()) {
    ASSERT_LT(d.param, static_cast<uint64_t>(kTotal));
    EXPECT_EQ(d.bytes, "m" + std::to_string(d.param));
    ++seen[d.param];
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kTotal);
}

INSTANTIATE_TEST_SUITE_P(BothKinds, PoolTest,
                         testing::Values(kQueuePool, kRecordPool),
                         [](const testing::TestParamInfo<PoolKind>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace linkcore_test
