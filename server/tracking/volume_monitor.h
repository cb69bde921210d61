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
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "tracking/volume_watch.h"
#include "tracking/subtree_expander.h"
#include "journal/volume_journal.h"

namespace dirsync {

class VolumeMonitor {
 public:
  explicit VolumeMonitor(VolumeWatch* volume,
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
  // a later call (at most 2 s), unless force is set. The caller holds
  // volumesLock (the flush thread, or shutdown).
  void ApplyBatch(bool force);

  // Whether the start-up scan is over and the journal is being followed.
  // Thread safe.
  bool following() const { return following_.load(); }

 private:
  bool StartUpScan(int64_t nextUsn);
  void TakeScanRecord(const JournalRecord& record);
  void CatchUp(const JournalRecord& record, SubtreeExpander* expander);
  void ReportVanished(const ReferenceSet& met, SubtreeExpander* expander);
  // Applies one change of the start-up catch-up, with what it brings along.
  void ApplyOneChange(const CatalogRecord& change, SubtreeExpander* expander);
  void FollowJournal();
  // Moves one read's records into pending. Takes volumesLock.
  void TakeBatch(const JournalBatch& batch, int64_t nextUsn);
  // Puts one change into pending. The caller holds volumesLock.
  void PutPending(CatalogRecord change);
  // The change that tells the catalogs what became of an entry a complete
  // walk did not meet: where it is now, or its deletion.
  CatalogRecord VanishedChange(uint64_t ref);
  void SaveAppliedPosition();
  // Waits up to ms milliseconds or until Stop. Returns false on Stop.
  bool Pause(uint32_t ms);

  VolumeWatch* volume_;
  VolumeJournal::Options options_;
  // Set by Run before the first change reaches pending, and kept until the
  // monitor is destroyed: the flush thread uses it (under volumesLock) only
  // while pending holds changes.
  std::unique_ptr<VolumeJournal> journal_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> following_{false};
  // Guards the publication of journal_ against Stop, and the pause wait.
  std::mutex controlLock_;
  std::condition_variable pauseWake_;
  // The position up to which every read change has been applied. Read and
  // written under volumesLock.
  int64_t appliedUsn_ = 0;
  // Tick at which a batch was first left for later; 0 when none waits.
  // Flush thread (under volumesLock).
  uint64_t deferredSince_ = 0;
};

// The journal monitor thread routine: runs a VolumeMonitor for the volume
// until the volume cannot be watched. Used where no stop is needed.
void MonitorVolume(VolumeWatch* volume);

// Starts one journal monitor thread for every volume in `volumes`, in slot
// order. Main thread, after LoadTasks and before the flush thread starts.
void StartVolumeMonitors(const VolumeJournal::Options& options = {});

// The flush thread's way to apply a volume's pending changes: through the
// volume's monitor when it has one, else ApplyPendingChanges. The caller
// holds volumesLock.
void ApplyJournalBatch(VolumeWatch& volume);

// Whether every monitor that StartVolumeMonitors started has finished its
// start-up scan and follows its journal. Thread safe once started.
bool VolumeMonitorsFollowing();

// Shutdown, once the flush thread has ended: stops every monitor thread
// and waits for it, then applies every volume's pending changes, so that a
// clean stop loses nothing. Main thread.
void StopVolumeMonitors();

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_VOLUME_MONITOR_H_
