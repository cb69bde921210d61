// Keeps a task's memory and store file in proportion to its live tree.
//
// Retention: an entry that left the tree (a file deleted, state 255; a
// directory gone, state 7) is needed in memory only until its record is on
// disk. Clients learn of the departure from that record; "list" marks the
// older records of a reference that has no entry as overtaken, and a
// download of it is refused as for a file that does not exist. So
// ForgetDeparted drops such entries after every batch, and loading a store
// drops them too.
//
// Compaction: the store keeps every record ever written, so once dead
// records (those overtaken by a later record of their reference, and the
// records of entries that left) pass the live ones and a floor, the store
// is written anew: a header with a new store id, one record per live
// entry (directories parents first, then files), and a marker with the
// task's journal position. The new file is written beside the old one
// (NAME.db.compact), synced, renamed over it and the directory synced, so
// a kill at any moment leaves either the old store or the new one, both
// whole. Positions in the old store mean nothing in the new one: clients
// see the new store id when they log in again (the server closes links of
// the old store at their next "list" or "ping") and compare what they hold
// with the new store's records. Entry versions are kept, so downloads of
// what clients hold stay valid across a compaction.
//
// Threads: everything here runs on the task's writer (the thread that
// applies the volume's changes), never beside another write to the store.
#ifndef DIRSYNC_CATALOG_STORE_COMPACTION_H_
#define DIRSYNC_CATALOG_STORE_COMPACTION_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "catalog/sync_task.h"
#include "platform/status.h"
#include "platform/thread_annotations.h"

namespace dirsync {

// The file a compaction writes before it takes the store's place.
std::string CompactionPathFor(const std::string& storePath);

// Removes ref from the catalog and from the directory index, raising
// task.versionFloor above its version. The caller holds task.catalogLock
// exclusively.
void ForgetEntry(SyncTask& task, uint64_t ref) REQUIRES(task.catalogLock);

// Forgets the entries of task.departed that are still gone (a later batch
// may have brought one back). Returns how many were forgotten.
size_t ForgetDeparted(SyncTask& task) EXCLUDES(task.catalogLock);

// Bytes of the records a compaction writes for the live entries.
int64_t LiveRecordBytes(const SyncTask& task) EXCLUDES(task.catalogLock);

// Whether the store's dead bytes pass both its live bytes and
// minDeadBytes. Counting is a walk over the catalog, so it is done only
// when the store has grown by an eighth since the last count. A store that
// is not open, waits for a rebuild, holds damage (kept for inspection),
// buffered bytes or an owed cut is never due.
bool CompactionDue(SyncTask& task, int64_t minDeadBytes);

// Writes the store anew as described above and puts it in place. On
// failure (logged once until one succeeds) the old store stays as it was
// and the temporary file is removed; compaction is tried again once the
// store has grown further.
Status CompactStore(SyncTask& task);

// After a batch: ForgetDeparted, then CompactStore when CompactionDue.
void MaintainStore(SyncTask& task, const StoreOptions& options);

}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_STORE_COMPACTION_H_
