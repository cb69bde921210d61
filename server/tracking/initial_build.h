// The initial build: turns what a full scan of a volume collected
// (scan.dirNodes and scan.fileNodes) into catalog entries of every task
// of the volume whose root holds them, writes them to the tasks' stores in
// whole 4 MiB blocks, and frees the scan's maps.
#ifndef DIRSYNC_TRACKING_INITIAL_BUILD_H_
#define DIRSYNC_TRACKING_INITIAL_BUILD_H_

#include <cstdint>

#include "catalog/sync_task.h"
#include "journal/volume_journal.h"
#include "tracking/volume_scan.h"

namespace dirsync {

// For every scanned item, in fileNodes' order, and every task of the
// volume whose store is open: an item below the task's root, not
// excluded, that the catalog lacks (or holds in state 7) becomes an entry
// with version 1, size and times read by its reference, buffered into the
// task's store and entered in the directory index; items the catalog holds
// otherwise stay as they are. An item gone meanwhile is left out; one
// whose size and times cannot be read now is left out too and sets
// scan->incomplete (logged once), so that a catch-up walk adds it later.
// Returns the number of (item, task) pairs below a root and not excluded.
// Afterwards dirNodes and fileNodes are empty and every task's store
// buffer has been flushed (a failed flush keeps the bytes in the buffer:
// see FlushBuffer).
//
// Runs on the volume's monitor thread during its start-up, before any
// change reaches pending; takes each task's catalogLock only to change it.
int32_t InitVolume(TaskMap& tasks, VolumeScan* scan, VolumeJournal& journal);

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_INITIAL_BUILD_H_
