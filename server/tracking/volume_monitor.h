// The journal monitor of one volume. On start it brings the catalogs of
// the volume's tasks up to date with the volume: a catch-up of what changed
// since the position their stores record, or, without a usable position, a
// full scan followed by the initial build. Then it follows the journal for
// the life of the program, putting every change into the volume's pending
// map, where the flush thread applies it once the volume falls quiet.
//
// Besides what the journal says, the monitor makes sure that:
//  - entries that vanished while the server was stopped (or while events
//    were lost to a queue overflow) are reported deleted: every live entry
//    of the volume's tasks that a complete walk of the volume did not meet;
//  - a directory that enters a task's root brings everything below it;
//  - a batch is applied against the tree as it stands: each pending change
//    is resolved again by its reference when the batch is applied;
//  - the position saved while following the journal is one whose changes
//    have all been applied, never one whose changes still wait in pending;
//  - a journal read that keeps failing is retried after a pause that grows
//    to at most 1 s, each failure logged.
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
  // The caller holds the volume's lock (the flush thread, or shutdown).
  bool ApplyBatch(bool force) REQUIRES(volume_->lock);

  // Whether the start-up scan is over and the journal is being followed.
  // Thread safe.
  bool following() const { return following_.load(); }

 private:
  bool StartUpScan(int64_t nextUsn);
  void TakeScanRecord(const JournalRecord& record, VolumeScan* scan);
  void CatchUp(const JournalRecord& record, SubtreeExpander* expander);
  void ReportVanished(const ReferenceSet& met, SubtreeExpander* expander);
  // Applies one change of the start-up catch-up, with what it brings along.
  void ApplyOneChange(const CatalogRecord& change, SubtreeExpander* expander);
  void FollowJournal();
  // Moves one read's records into pending. Takes the volume's lock.
  void TakeBatch(const JournalBatch& batch, int64_t nextUsn)
      EXCLUDES(volume_->lock);
  // Puts one change into pending and wakes the flush thread.
  void PutPending(CatalogRecord change) REQUIRES(volume_->lock);
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
};

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_VOLUME_MONITOR_H_
