// The flush thread of a volume decides when the changes collected for it
// are applied to the catalogs of its tasks: once the volume has been quiet
// for its timeout, or its oldest pending change has waited six timeouts,
// or at once when the timeout is negative; never before the volume's
// holdUntilTick, which a failed write or a failed lookup sets. A burst of changes is thus
// applied in one batch, and a volume that never falls quiet still gets its
// changes applied. The thread sleeps on the volume's condition until a
// change arrives or the batch falls due, so an idle server costs nothing.
#ifndef DIRSYNC_APP_FLUSH_THREAD_H_
#define DIRSYNC_APP_FLUSH_THREAD_H_

#include <atomic>
#include <cstdint>
#include <functional>

#include "tracking/volume_watch.h"

namespace dirsync {

// Applies the pending changes of one volume, called with the volume's lock
// held. Returns false when it left them for later (the tree still moves);
// they are then looked at again shortly.
using ApplyPendingFn = std::function<bool(VolumeWatch& volume)>;

// Whether the pending changes of a volume are due at tick now: timeout < 0,
// or now > lastChangeTick + timeout, or now > firstPendingTick + 6 *
// timeout. The product is formed in signed 32-bit arithmetic and then
// widened (so timeouts above 357913941 ms wrap), and the sums are compared
// as unsigned 64-bit tick counts. Pure; thread safe.
bool IsFlushDue(int32_t timeout, uint64_t firstPendingTick,
                uint64_t lastChangeTick, uint64_t now);

// Milliseconds from now until IsFlushDue turns true (at least 1), for a
// volume whose changes are not due yet. Pure; thread safe.
uint64_t MillisecondsUntilDue(int32_t timeout, uint64_t firstPendingTick,
                              uint64_t lastChangeTick, uint64_t now);

// Body of a volume's flush thread: returns at once when running is false;
// otherwise waits for changes, applies them with apply once due, and goes
// on until running turns false (a batch being applied is finished first).
// Whoever clears running signals the volume's `changed`.
void FlushThread(VolumeWatch& volume, const std::atomic<bool>& running,
                 const ApplyPendingFn& apply);

}  // namespace dirsync

#endif  // DIRSYNC_APP_FLUSH_THREAD_H_
