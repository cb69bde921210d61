#include "app/flush_thread.h"

#include <mutex>

#include "platform/clock.h"

namespace dirsync {

constexpr uint32_t kSweepIntervalMs = 10;

bool IsFlushDue(int32_t timeout, uint64_t firstPendingTick,
                uint64_t lastChangeTick, uint64_t now) {
  if (timeout < 0) return true;
  const uint64_t quietPeriod = static_cast<uint64_t>(timeout);
  if (now > lastChangeTick + quietPeriod) return true;
  // The six-fold wait is a 32-bit product: computed wide, then cut to 32
  // bits (well defined, unlike a signed overflow), then sign-extended.
  const int32_t sixFold = static_cast<int32_t>(int64_t{timeout} * 6);
  const uint64_t longestWait = static_cast<uint64_t>(int64_t{sixFold});
  return now > firstPendingTick + longestWait;
}

void SweepVolumes(const ApplyPendingFn& apply) {
  // The table itself never changes while threads run; only the volumes'
  // pending maps and ticks need the lock.
  for (VolumeWatch* v : volumes) {
    if (v == nullptr) continue;
    std::lock_guard<std::mutex> lock(volumesLock);
    if (v->pending.empty()) continue;
    // The tick is read only when the timeout leaves something to compare.
    if (v->timeout < 0 || IsFlushDue(v->timeout, v->firstPendingTick,
                                     v->lastChangeTick, GetTickCount64())) {
      apply(*v);
    }
  }
}

void FlushThread(ApplyPendingFn apply) {
  if (!running.load()) return;
  do {
    SweepVolumes(apply);
    Sleep(kSweepIntervalMs);
  } while (running.load());
}

}  // namespace dirsync
