// Catalog changes: applies the change records of a volume's journal to the
// catalogs of the tasks on that volume, appends every changed entry to the
// task's store, keeps the directory index, carries a directory's departure
// from the root down to the files below it, and records how far the
// journal has been applied.
//
// A change concerns a task through its full path: below the task's root it
// adds, updates or renames an entry (a directory that moves within the
// root takes every entry below it along to its new path); outside the root,
// in a place the task excludes, or as a deletion event, it deletes one.
// Each task judges each change on its own.
//
// Locking: a task's catalogLock is held exclusively while its memory
// changes, and released for every store write and flush, so clients
// reading the catalog (holding it shared) never wait for the disk. Each
// written record's bytes are numbered and copied under the lock (see
// StageRecord), so the disk write reads no memory a client can see change.
// Log lines are collected under the lock and printed once the records
// are written.
//
// Memory and disk agree: every entry an edit changes is saved first, and
// when the edit's records do not reach the store (a full disk, an I/O
// error) the entries are put back as they were, so that the catalog never
// holds a version no record in the store carries. The caller keeps the
// changes and applies them again later.
#ifndef DIRSYNC_CATALOG_CATALOG_CHANGES_H_
#define DIRSYNC_CATALOG_CATALOG_CHANGES_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/catalog_record.h"
#include "catalog/sync_task.h"
#include "platform/status.h"
#include "platform/thread_annotations.h"

namespace dirsync {

// The changes a volume's journal reported and that wait to be applied, one
// per file reference number.
using PendingChanges = std::unordered_map<uint64_t, CatalogRecord>;

// Log lines made while a catalog lock is held, printed after its release.
class DeferredLog {
 public:
  // Formats like LogPrint (%D, %L), with the current time.
  void Add(const char* format, ...);
  // Prints and forgets the collected lines, in order.
  void Print();

 private:
  std::vector<std::string> lines_;
};

// What applying changes to one task collects under its catalogLock: the
// entries to write, in order and each once, the log lines, and each
// changed entry as it was before the edit.
struct CatalogEdit {
  std::vector<CatalogRecord*> changed;
  std::unordered_set<const CatalogRecord*> inEdit;
  DeferredLog log;
  // An entry as it was before the edit first changed it; an empty record
  // for one the edit added.
  struct Before {
    uint64_t ref;
    CatalogRecord record;
  };
  std::vector<Before> before;
  std::unordered_set<uint64_t> saved;

  // Appends entry to changed unless it is there already.
  void Add(CatalogRecord* entry);
  bool Contains(const CatalogRecord* entry) const {
    return inEdit.count(entry) != 0;
  }
  // Keeps a copy of entry as it is now, unless the edit has one already.
  // Called before the edit first changes it.
  void Save(const CatalogRecord& entry);
  // Notes that the edit adds an entry for ref, which the catalog lacks.
  void SaveAbsent(uint64_t ref);
};

// How the records of one application reach the store. Both put exactly
// the same bytes in the file; a batch costs one write and one fdatasync.
enum class StoreWriteMode {
  kOneWritePerBatch,   // all records of a batch, in writes of up to 4 MiB
  kOneWritePerRecord,  // one positioned write and fdatasync per record
};

// Applies one change record to task's catalog in memory and appends the
// entries that must now be written to edit (none when the task records
// nothing). Returns the change's own entry, or null. Writes nothing.
// Within one edit, an entry changed twice keeps what clients last read of
// it: one added in the edit stays added, one renamed keeps its first
// previous name. The caller holds task.catalogLock exclusively.
CatalogRecord* ApplyChange(SyncTask& task, const CatalogRecord& change,
                           CatalogEdit& edit) REQUIRES(task.catalogLock);

// Enters a directory entry (state 6 or 7) in dirIndex under its parent,
// leaving the set of its former parent. With cascade and state 7, marks
// every live file below the directory deleted (state 255) and every
// directory below it departed (state 7), each with version + 1, logs each
// into edit->log and appends it to *marked, in the catalog's order; the
// caller writes them right after the directory. Memory only;
// the caller holds task.catalogLock exclusively. edit and marked may be
// null without cascade.
void IndexDirectory(SyncTask& task, const CatalogRecord& entry, bool cascade,
                    CatalogEdit* edit, std::vector<CatalogRecord*>* marked)
    REQUIRES(task.catalogLock);

// Adds dirRef and every directory below it, as dirIndex knows them, to
// subtree. Visits each directory once, so cycles in the index end. The
// caller holds task.catalogLock (shared or exclusive).
void CollectSubtree(const SyncTask& task, uint64_t dirRef,
                    std::unordered_set<uint64_t>& subtree)
    REQUIRES_SHARED(task.catalogLock);

// Change records that an application brings along for one task besides
// its own: the journal monitor adds the entries below a directory that
// enters the task's root, which the journal reports as one change. Called
// on the applying thread for each task before the task's lock is taken;
// appends to *extra, which the application then applies after its own,
// leaving out a file change that finds the file where and as the catalog
// then holds it (same relative path, parent, size, write time, type and
// permissions).
using BatchExtras =
    std::function<void(SyncTask& task, std::vector<CatalogRecord>* extra)>;

// Whether a change would record anything in task: not for a file change
// that finds the file where and as the catalog holds it (same relative
// path, letter case included, parent, size, write time, type and
// permissions). Every other change says something, though applying it may
// still record nothing (a deletion of an entry gone already, a directory
// where it was). The
// caller holds task.catalogLock.
bool TellsSomethingNew(const SyncTask& task, const CatalogRecord& change)
    REQUIRES_SHARED(task.catalogLock);

// Applies pending to the tasks of one volume whose stores are open: for
// each task, every change reaches the catalog before the first is
// written; then each changed entry is written (the last one stamped with
// stampUsn unless it is 0 or the task waits for a rebuild; the stamp
// becomes the task's lastUsn once written) and indexed with cascade. The
// entries are written in an order a client can follow record by record:
// those that left the task first, then directories, parents before
// children, then files. Changes whose references are in confirmOnly are
// applied only where they tell something new (TellsSomethingNew): they
// were applied before to some tasks, or describe entries the catalogs may
// know already. pending itself is left as it is. Returns the first failed
// write (already logged); a task whose records were not written is put
// back as it was (see above), the others keep what they wrote. Runs on
// the volume's writer.
Status ApplyPendingChanges(
    TaskMap& tasks, PendingChanges& pending, int64_t stampUsn,
    StoreWriteMode mode = StoreWriteMode::kOneWritePerBatch,
    const BatchExtras& extras = nullptr,
    const std::unordered_set<uint64_t>* confirmOnly = nullptr);

// Catch-up application of one change record to every task of tasks whose
// store is open: ApplyChange, a direct write of the entries,
// IndexDirectory with cascade. No journal position is stamped. Returns the
// first failed write (already logged; that task is put back as it was).
// Runs on the volume's writer.
Status ApplyCatchUpChange(
    TaskMap& tasks, const CatalogRecord& change,
    StoreWriteMode mode = StoreWriteMode::kOneWritePerBatch,
    const BatchExtras& extras = nullptr);

// Records the journal position usn in the stores of tasks: a task whose
// lastUsn is below usn gets a marker when force is set or it has not
// recorded a position today; every store is flushed. Tasks whose store is
// not open or that wait for a rebuild get none: their catalogs are not
// known to hold every change up to usn. A marker that could not be written
// (logged) leaves the task's position as it was, so the next save tries
// again. Returns whether any marker was written. Runs on the volume's
// writer, never beside another write to the same stores.
bool RecordJournalPosition(TaskMap& tasks, int64_t usn, bool force);

}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_CATALOG_CHANGES_H_
