#include "app/linkcore_workers.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "linkcore.h"
#include "platform/log.h"
#include "platform/signals_blocked.h"

namespace dirsync {

namespace {

// Starts the pool with every signal blocked, so that its threads inherit
// a mask that leaves signals to the thread that waits for them, whenever
// the pool is made (the server may be built before main blocks them).
KRL_Pool* CreatePool(int threads, TaskCallback run) {
  SignalsBlocked blocked;
  return KRL_TaskCreate(threads, 0, run);
}

// The first message of a pool, which tells that at least one of its
// threads runs: the pool is handed out even when none could be started.
struct StartProbe {
  std::mutex lock;
  std::condition_variable arrived;
  bool ran = false;
};
// Probes are told from queues by the low bit of the message's param (both
// are aligned objects).
constexpr uint64_t kProbeTag = 1;

// Whether a worker of pool takes a message within a generous time. When
// none does, the pool is destroyed here, while the probe still lives (a
// worker that starts late would otherwise find it gone).
bool AnyWorkerRuns(KRL_Pool* pool) {
  StartProbe probe;
  bool ran = KRL_TaskPutmsg(pool, nullptr, 0,
                            reinterpret_cast<uintptr_t>(&probe) | kProbeTag) >= 0;
  if (ran) {
    std::unique_lock<std::mutex> guard(probe.lock);
    ran = probe.arrived.wait_for(guard, std::chrono::seconds(10),
                                 [&] { return probe.ran; });
  }
  if (!ran) KRL_TaskDestroy(pool);
  return ran;
}

// A wake: param names the queue whose links the worker runs.
void RunQueue(KRL_Pool*, const char*, unsigned int, uint64_t param) {
  if ((param & kProbeTag) != 0) {
    auto* probe = reinterpret_cast<StartProbe*>(
        static_cast<uintptr_t>(param & ~kProbeTag));
    std::lock_guard<std::mutex> guard(probe->lock);
    probe->ran = true;
    probe->arrived.notify_all();
    return;
  }
  reinterpret_cast<RequestQueue*>(static_cast<uintptr_t>(param))->RunQueued();
}

}  // namespace

LinkcoreWorkers::LinkcoreWorkers(int threads)
    : pool_(CreatePool(threads, &RunQueue)) {
  if (pool_ != nullptr && !AnyWorkerRuns(pool_)) pool_ = nullptr;
  if (pool_ == nullptr) {
    LogPrint("%D No worker pool: lists and downloads run on the network "
             "threads\n");
  }
}

LinkcoreWorkers::~LinkcoreWorkers() { KRL_TaskDestroy(pool_); }

bool LinkcoreWorkers::Wake(RequestQueue& queue) {
  if (pool_ == nullptr) return false;
  return KRL_TaskPutmsg(pool_, nullptr, 0,
                        reinterpret_cast<uintptr_t>(&queue)) >= 0;
}

}  // namespace dirsync
