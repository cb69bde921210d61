#include "app/flush_thread.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"

namespace dirsync {
namespace {

// A batch left for later because the tree still moves is looked at again
// after this long, or at the next change.
constexpr uint64_t kRetryDeferredMs = 10;
// The longest single wait; the thread then looks at its volume again.
constexpr uint64_t kLongestWaitMs = 60000;

// The six-fold wait is a 32-bit product: computed wide, then cut to 32
// bits (well defined, unlike a signed overflow), then sign-extended.
uint64_t LongestWait(int32_t timeout) {
  const int32_t sixFold = static_cast<int32_t>(int64_t{timeout} * 6);
  return static_cast<uint64_t>(int64_t{sixFold});
}

}  // namespace

bool IsFlushDue(int32_t timeout, uint64_t firstPendingTick,
                uint64_t lastChangeTick, uint64_t now) {
  if (timeout < 0) return true;
  const uint64_t quietPeriod = static_cast<uint64_t>(timeout);
  if (now > lastChangeTick + quietPeriod) return true;
  return now > firstPendingTick + LongestWait(timeout);
}

uint64_t MillisecondsUntilDue(int32_t timeout, uint64_t firstPendingTick,
                              uint64_t lastChangeTick, uint64_t now) {
  if (timeout < 0) return 1;
  // Due at the first tick past either bound, in the same wrapping
  // arithmetic as IsFlushDue.
  const uint64_t quietEnd = lastChangeTick + static_cast<uint64_t>(timeout);
  const uint64_t longestEnd = firstPendingTick + LongestWait(timeout);
  uint64_t wait = kLongestWaitMs;
  for (uint64_t end : {quietEnd, longestEnd}) {
    if (end >= now && end - now < wait) wait = end - now + 1;
  }
  return std::max<uint64_t>(wait, 1);
}

void FlushThread(VolumeWatch& volume, const std::atomic<bool>& running,
                 const ApplyPendingFn& apply) {
  MutexLock lock(&volume.lock);
  while (running.load()) {
    if (volume.pending.empty()) {
      volume.changed.Wait(&volume.lock);
      continue;
    }
    const uint64_t now = GetTickCount64();
    if (now < volume.holdUntilTick) {
      // A write failed or entries could not be looked up: wait the pause
      // out before trying again.
      volume.changed.WaitFor(
          &volume.lock, std::chrono::milliseconds(volume.holdUntilTick - now));
      continue;
    }
    if (IsFlushDue(volume.timeout, volume.firstPendingTick,
                   volume.lastChangeTick, now)) {
      if (!apply(volume)) {
        volume.changed.WaitFor(&volume.lock,
                               std::chrono::milliseconds(kRetryDeferredMs));
      }
      continue;
    }
    volume.changed.WaitFor(
        &volume.lock,
        std::chrono::milliseconds(MillisecondsUntilDue(
            volume.timeout, volume.firstPendingTick, volume.lastChangeTick, now)));
  }
}

}  // namespace dirsync
