// The flush sweep decides when the changes collected for a volume are
// applied to the catalogs of its tasks: once the volume has been quiet for
// its timeout, or its oldest pending change has waited six timeouts, or at
// once when the timeout is negative. A burst of changes is thus applied in
// one batch, and a volume that never falls quiet still gets its changes
// applied.
#ifndef DIRSYNC_CORE_FLUSH_THREAD_H_
#define DIRSYNC_CORE_FLUSH_THREAD_H_

#include <cstdint>
#include <functional>

#include "tracking/volume_watch.h"

namespace dirsync {

// Applies (and empties) the pending changes of one volume. Called with
// volumesLock held.
using ApplyPendingFn = std::function<void(VolumeWatch& volume)>;

// Whether the pending changes of a volume are due at tick now: timeout < 0,
// or now > lastChangeTick + timeout, or now > firstPendingTick + 6 *
// timeout. The product is formed in signed 32-bit arithmetic and then
// widened (so timeouts above 357913941 ms wrap), and the sums are compared
// as unsigned 64-bit tick counts. Pure; thread safe.
bool IsFlushDue(int32_t timeout, uint64_t firstPendingTick,
                uint64_t lastChangeTick, uint64_t now);

// One sweep over the volumes table in slot order. For each volume, holding
// volumesLock for that slot alone: if its pending map is not empty and the
// changes are due, calls apply on it, still under the lock. Runs on the
// flush thread (or a test's thread).
void SweepVolumes(const ApplyPendingFn& apply);

// Body of the flush thread: returns at once when running is false;
// otherwise sweeps, sleeps 10 ms, and repeats until running turns false
// (the sweep in progress is finished first).
void FlushThread(ApplyPendingFn apply);

}  // namespace dirsync

#endif  // DIRSYNC_CORE_FLUSH_THREAD_H_
