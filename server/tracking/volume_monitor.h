// The journal monitor of one volume. On start it brings the catalogs of
// the volume's tasks up to date with the volume: a catch-up of what changed
// since the positions their stores record, or, when every catalog is
// empty, a full scan followed by the initial build. Then it follows the
// journal for the life of the program, putting every change into the
// volume's pending map, where the flush thread applies it once the volume
// falls quiet.
//
// Besides what the journal says, the monitor makes sure that:
//  - entries that vanished while the server was stopped (or while events
//    were lost to a queue overflow) are reported deleted: every live entry
//    of the volume's tasks that a complete walk of the volume did not meet
//    and that no longer opens;
//  - a directory that enters a task's root brings everything below it;
//  - a batch is applied against the tree as it stands: each pending change
//    is resolved again by its reference when the batch is applied; a
//    change whose entry cannot be looked up now (no descriptors, no memory)
//    is held back and tried again, never taken for a deletion;
//  - the position saved while following the journal is one whose changes
//    have all been applied, never one whose changes still wait in pending;
//  - a task whose catalog may not equal the tree (a damaged store, a store
//    that opened late, a catch-up walk that could not see everything) is
//    caught up by a walk of the whole volume whose findings are applied
//    only where they tell a catalog something new (a walk that could not
//    see everything is made again, at intervals growing to a minute); a
//    store that cannot be opened is tried again, every 1 s growing to 10 s;
//  - a journal read that keeps failing is retried after a pause that grows
//    to at most 1 s, each failure logged; a volume that cannot be opened
//    for want of descriptors or memory is opened again later.
#ifndef DIRSYNC_TRACKING_VOLUME_MONITOR_H_
#define DIRSYNC_TRACKING_VOLUME_MONITOR_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "journal/volume_journal.h"
#include "platform/drive_map.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "tracking/initial_build.h"
#include "tracking/subtree_expander.h"
#include "tracking/volume_watch.h"

namespace dirsync {

class VolumeMonitor {
 public:
  // Follows volume, whose drive drives places; both must outlive the
  // monitor.
  VolumeMonitor(VolumeWatch* volume, const DriveMap& drives,
                const VolumeJournal::Options& options = {});
  ~VolumeMonitor();
  VolumeMonitor(const VolumeMonitor&) = delete;
  VolumeMonitor& operator=(const VolumeMonitor&) = delete;

  // Thread body: opens the volume, runs the start-up scan, then follows the
  // journal until Stop. Returns when the volume cannot be watched, or soon
  // after Stop. Runs on the volume's monitor thread.
  void Run();

  // Makes Run return soon (a blocked journal read wakes). Thread safe.
  void Stop();

  // Resolves every pending change again and applies the volume's pending
  // changes, bringing along the contents of directories that enter a root.
  // While the tree keeps moving under the resolution the batch is left for
  // a later call (at most 2 s), unless force is set; returns false then.
  // Changes whose entries cannot be looked up are held back (see
  // VolumeWatch::HoldBack) and the rest applied. The caller holds the
  // volume's lock (the flush thread, the monitor's walks, or shutdown).
  bool ApplyBatch(bool force) REQUIRES(volume_->lock);

  // Whether the start-up scan is over and the journal is being followed.
  // Thread safe.
  bool following() const { return following_.load(); }

 private:
  // How a catch-up walk treats what it finds.
  struct WalkPlan {
    int64_t low = 0;   // entries changed from low - 1 s on (0: all)
    int64_t high = 0;  // up to this position
    // Entries changed before this (minus 1 s) are applied only where they
    // tell a catalog something new; INT64_MAX: all of them.
    int64_t freshFrom = 0;
  };

  // Opens the volume's journal, trying again while it fails for want of
  // descriptors or memory. False when it cannot be watched, or on Stop.
  bool OpenJournal(const char* device);
  bool StartUpScan(int64_t nextUsn);
  void TakeScanRecord(const JournalRecord& record, VolumeScan* scan);
  // Walks the volume with plan, puts what it finds (and, when the walk was
  // complete, what vanished) into pending and applies it in chunks.
  // *walked gets the number of entries reported. Returns whether the walk
  // saw the whole volume; false also on Stop.
  bool CatchUpWalk(const WalkPlan& plan, int32_t* walked);
  // Writes the stores' buffers (the initial build's) until they are on
  // disk, pausing between attempts. False on Stop.
  bool FlushBuffers();
  // Tries again to open stores that could not be opened, and walks the
  // volume for tasks that wait for a rebuild, when due.
  void Maintain();
  // Milliseconds until Maintain has something to do, or -1 for nothing.
  int MaintenanceDueInMs() const;
  void FollowJournal();
  // Moves one read's records into pending. Takes the volume's lock.
  void TakeBatch(const JournalBatch& batch, int64_t nextUsn)
      EXCLUDES(volume_->lock);
  // Puts one change into pending and wakes the flush thread. A confirm
  // change is applied only where it tells something new; a fresh one
  // replaces that mark.
  void PutPending(CatalogRecord change, bool confirm = false)
      REQUIRES(volume_->lock);
  // The change that tells the catalogs what became of an entry a complete
  // walk did not meet: where it is now, or its deletion.
  CatalogRecord VanishedChange(uint64_t ref);
  void SaveAppliedPosition();
  // Waits up to ms milliseconds or until Stop. Returns false on Stop.
  bool Pause(uint32_t ms);

  VolumeWatch* const volume_;
  const DriveMap& drives_;
  VolumeJournal::Options options_;
  // Set by Run before the first change reaches pending, and kept until the
  // monitor is destroyed: the flush thread uses it (under the volume's
  // lock) only while pending holds changes.
  std::unique_ptr<VolumeJournal> journal_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> following_{false};
  // Guards the publication of journal_ against Stop, and the pause wait.
  Mutex controlLock_;
  CondVar pauseWake_;
  // The position up to which every read change has been applied.
  int64_t appliedUsn_ GUARDED_BY(volume_->lock) = 0;
  // Tick at which a batch was first left for later; 0 when none waits.
  uint64_t deferredSince_ GUARDED_BY(volume_->lock) = 0;
  // Maintenance (monitor thread only): when stores are opened again and
  // rebuild walks are tried next, and the pauses in between.
  uint64_t nextOpenTick_ = 0;
  uint32_t openDelayMs_ = 0;
  uint64_t nextRebuildTick_ = 0;
  uint32_t rebuildDelayMs_ = 0;
};

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_VOLUME_MONITOR_H_
