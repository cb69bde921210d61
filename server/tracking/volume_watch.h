// VolumeWatch: one drive letter that holds tasks. It owns the drive's
// tasks, the changes its journal reported and that wait to be applied, and
// the journal monitor thread that follows the drive.
//
// Threads: the monitor thread puts changes into pending and signals
// `changed`; the volume's flush thread waits on `changed` and applies the
// pending changes once they are due (ApplyBatch). Both hold `lock` for
// that, and so does everything else that writes the tasks' stores once the
// monitor follows the journal, so writes to one store never interleave.
//
// Nothing is lost to a fault of the machine: changes whose records could
// not be written, and changes whose entries could not be looked up, stay
// in pending and are applied again after a pause that grows from 100 ms
// to 5 s (holdUntilTick); the saved journal position never passes them.
#ifndef DIRSYNC_TRACKING_VOLUME_WATCH_H_
#define DIRSYNC_TRACKING_VOLUME_WATCH_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include <set>
#include <unordered_set>
#include <vector>

#include "catalog/catalog_changes.h"
#include "catalog/sync_task.h"
#include "journal/volume_journal.h"
#include "platform/drive_map.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "tracking/link_names.h"

namespace dirsync {

class VolumeMonitor;

class VolumeWatch {
 public:
  VolumeWatch(char driveLetter, int32_t timeout);
  // Stops the monitor thread if it still runs.
  ~VolumeWatch();
  VolumeWatch(const VolumeWatch&) = delete;
  VolumeWatch& operator=(const VolumeWatch&) = delete;

  const char driveLetter;  // upper case

  // The drive's tasks by name. Complete before StartMonitor; never changed
  // afterwards.
  TaskMap tasks;
  // Where the tasks' stores lie, for opening again one that could not be
  // opened. Set before StartMonitor.
  StoreOptions storeOptions;

  // Guards pending, the ticks and lastReadUsn, and orders every write to the
  // tasks' stores once the monitor follows the journal.
  Mutex lock;
  // Signalled when pending receives a change and when the volume's flush
  // thread is asked to stop.
  CondVar changed;
  // The quiet period in milliseconds (see the flush thread). Whoever
  // changes it signals `changed`.
  int32_t timeout GUARDED_BY(lock);
  // Changes read from the journal and not yet applied, one per file
  // reference number.
  PendingChanges pending GUARDED_BY(lock);
  uint64_t firstPendingTick GUARDED_BY(lock) = 0;  // a change entered an empty pending
  uint64_t lastChangeTick GUARDED_BY(lock) = 0;    // the latest change entered pending
  int64_t lastReadUsn GUARDED_BY(lock) = 0;  // next position returned by the last read
  // Pending changes to apply only where they tell a catalog something new:
  // changes of a batch some task could not write (the others have them),
  // and what catch-up walks found of entries the catalogs may know.
  std::unordered_set<uint64_t> confirmOnly GUARDED_BY(lock);
  // Places where files of pending changes were seen while they had
  // several names; checked and dropped when their changes are applied.
  LinkHints linkHints GUARDED_BY(lock);
  // The flush thread applies nothing before this tick (0: no hold): after
  // a failed write, or while entries cannot be looked up.
  uint64_t holdUntilTick GUARDED_BY(lock) = 0;
  // The pause before the next attempt; 0 when the last one went through.
  uint32_t retryDelayMs GUARDED_BY(lock) = 0;
  // Tasks whose rebuild walk was complete and whose changes still wait in
  // pending: their rebuild is over once pending has been applied.
  std::vector<SyncTask*> rebuildsAwaitingApply GUARDED_BY(lock);
  // Where the next journal read starts. Monitor thread only.
  int64_t journalPos = 0;
  // Catalog changes applied since the journal position was last recorded;
  // the monitor records it once this passes 2000.
  std::atomic<uint32_t> changesSinceSave{0};

  // Starts the monitor thread: it opens the drive's journal (the drive map
  // must outlive the volume), brings the catalogs up to date and then
  // follows the journal. Main thread, once.
  void StartMonitor(const DriveMap& drives,
                    const VolumeJournal::Options& options);
  // Whether the monitor has finished its start-up scan and follows the
  // journal. Thread safe.
  bool Following() const;
  // Stops the monitor thread and waits for it, then applies what is still
  // pending, so that a clean stop loses nothing. Call once the volume's
  // flush thread has ended. Main thread.
  void StopMonitor() EXCLUDES(lock);

  // Applies the pending changes to the tasks: through the monitor, which
  // resolves each change again and brings along what directories entering
  // a root hold, when it has a journal. Returns false when the batch was
  // left for later because the tree is still moving (never with force).
  bool ApplyBatch(bool force) REQUIRES(lock);

  // Applies pending as it stands (with what extras bring along). When
  // every record was written it empties pending, counts the changes,
  // resets the ticks and ends a hold; with stamp the last record of each
  // task carries lastReadUsn. When a write failed (logged by the store)
  // pending stays, every change in it becomes confirm-only, and the flush
  // thread holds off for a growing pause. Returns whether everything was
  // written.
  bool ApplyPending(const BatchExtras& extras = nullptr, bool stamp = true)
      REQUIRES(lock);

  // Puts changes that could not be applied now (their entries could not be
  // looked up) back into pending, unless a newer change of the reference
  // came meanwhile, and holds the flush thread off for a growing pause.
  // Logs once per kind of failure until Recovered. REQUIRES lock.
  void HoldBack(PendingChanges held) REQUIRES(lock);
  // A batch went through with nothing held back: ends a hold and logs the
  // recovery after a HoldBack.
  void Recovered() REQUIRES(lock);

  // Records the journal position usn in the tasks' stores (see
  // RecordJournalPosition) and flushes them. Takes lock.
  void SaveJournalPosition(int64_t usn, bool force) EXCLUDES(lock);

 private:
  // Sets the next hold: 100 ms after success, doubling to 5 s.
  void Delay() REQUIRES(lock);

  std::unique_ptr<VolumeMonitor> monitor_;
  std::thread monitorThread_;
  // The errnos of lookups that failed in the current episode, each logged
  // once; when the episode began.
  std::set<int> lookupFailures_ GUARDED_BY(lock);
  uint64_t lookupFailingSince_ GUARDED_BY(lock) = 0;
};

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_VOLUME_WATCH_H_
