// VolumeWatch: one drive letter that holds tasks. It owns the drive's
// tasks, the changes its journal reported and that wait to be applied, and
// the journal monitor thread that follows the drive.
//
// Threads: the monitor thread puts changes into pending and signals
// `changed`; the volume's flush thread waits on `changed` and applies the
// pending changes once they are due (ApplyBatch). Both hold `lock` for
// that, and so does everything else that writes the tasks' stores once the
// monitor follows the journal, so writes to one store never interleave.
#ifndef DIRSYNC_TRACKING_VOLUME_WATCH_H_
#define DIRSYNC_TRACKING_VOLUME_WATCH_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "catalog/catalog_changes.h"
#include "catalog/sync_task.h"
#include "journal/volume_journal.h"
#include "platform/drive_map.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"

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

  // Applies pending as it stands (with what extras bring along), empties
  // it, counts the changes and resets the ticks. A failed store write is
  // logged by the store; the catalogs keep the changes in memory.
  void ApplyPending(const BatchExtras& extras = nullptr) REQUIRES(lock);

  // Records the journal position usn in the tasks' stores (see
  // RecordJournalPosition) and flushes them. Takes lock.
  void SaveJournalPosition(int64_t usn, bool force) EXCLUDES(lock);

 private:
  std::unique_ptr<VolumeMonitor> monitor_;
  std::thread monitorThread_;
};

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_VOLUME_WATCH_H_
