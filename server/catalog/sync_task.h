// A task: one directory tree that the server follows, its catalog of every
// file and directory recorded below the root, and its store file.
#ifndef DIRSYNC_CATALOG_SYNC_TASK_H_
#define DIRSYNC_CATALOG_SYNC_TASK_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/catalog_record.h"
#include "catalog/pool_allocator.h"
#include "catalog/store_growth.h"
#include "platform/env.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "platform/unique_fd.h"

namespace dirsync {

// Where the stores live and the system they are written through.
struct StoreOptions {
  Env* env = Env::Default();
  // The data directory, ending with '/'; created when missing.
  std::string directory;
  // A store is compacted once its dead records pass both its live ones and
  // this many bytes (store_compaction.h).
  int64_t compactMinDeadBytes = 1 << 20;
};

// A stretch of a store file found damaged when the store was loaded:
// [start, end), from a record boundary to the next record that could be
// trusted (or its block's end). Its records were left out of the catalog;
// "list" serves it as one filler.
struct DamagedSpan {
  int64_t start;
  int64_t end;
};

// The store file of a task: an append-only log of catalog records in 4 MiB
// blocks. Written by one thread at a time, the task's writer (the journal
// monitor during its start-up scan, afterwards the thread that applies the
// volume's changes); read by the network threads with positioned reads
// below storeSize.
struct CatalogStore {
  CatalogStore() = default;
  CatalogStore(const CatalogStore&) = delete;
  CatalogStore& operator=(const CatalogStore&) = delete;

  // The system the file is read and written through.
  Env* env = Env::Default();
  // Records waiting to be written by a buffered write. Writer only.
  std::vector<uint8_t> buffer;
  // Bytes of direct writes numbered but not yet written: they land behind
  // the file's bytes and buffer, and go to disk with one positioned write.
  // Writer only.
  std::vector<uint8_t> staged;
  // Held shared by readers of the file (a "list", a login reading the
  // store's size and id) and exclusively by a compaction while it puts the
  // new file in the old one's place, so that a reader sees the size, id
  // and descriptor of one file, never a mix. Held across one read of at
  // most a block, never across a send.
  mutable SharedMutex fileLock;
  // The open store file; not valid when it could not be opened. Replaced
  // only by a compaction, under fileLock; the writer uses it without.
  UniqueFd fd;
  // Full path of the store file.
  std::string path;
  // Sequence number of the last record written or loaded. Writer only.
  int64_t recordCount = 0;
  // Bytes on disk: the offset of the next direct write. Read without a lock
  // by the network threads, written by the store's writer.
  std::atomic<int64_t> storeSize{0};
  // Told each time storeSize grows; null when no one listens. Set before
  // the store is written to and left in place while it is.
  std::atomic<StoreGrowthListener*> growthListener{nullptr};
  // The offset of the first byte that no seal covers yet: the records
  // staged or buffered since the last seal begin here. Writer only.
  int64_t spanStart = 0;
  // Damage found at load, in file order. Filled before the store is
  // published as open (SyncTask::storeOpen) and never changed afterwards,
  // so readers need no lock.
  std::vector<DamagedSpan> damaged;
  // A write failed and no write has succeeded since: the failure was
  // logged once, the recovery will be. Writer only.
  bool writeFailing = false;
  uint64_t failingSinceTick = 0;
  // Cutting the file back to storeSize after a failed write failed too:
  // the next write cuts it first. Writer only.
  bool cutOwed = false;
  // Failures of writes are logged (a compaction's new file is quiet: its
  // failure is logged once by the compaction). Writer only.
  bool logsFailures = true;
  // The store size at which the share of dead records is next counted
  // (see store_compaction.h). Writer only.
  int64_t nextCompactionCheck = 0;
  // A compaction failed and none has succeeded since (logged once).
  // Writer only.
  bool compactionFailing = false;
  // The longest name (relative to the task's root) whose full path stays
  // within what the system resolves: live entries with longer names are
  // written with the "not carried" item (record_extension.h). No limit
  // until the task's Linux root is known. Set before the store is written.
  size_t nameRoom = SIZE_MAX;
  // Names that were marked "not carried" by records staged and not yet
  // logged; logged (one line each) once the lock is released. Writer only.
  std::vector<std::string> newlyNotCarried;
};

// A catalog: file reference number -> current record. Its nodes come from
// pools of its own (24 bytes each rather than a C library block of 32).
using EntryMap =
    std::unordered_map<uint64_t, CatalogRecord, std::hash<uint64_t>, std::equal_to<uint64_t>,
                       PoolAllocator<std::pair<const uint64_t, CatalogRecord>>>;

struct SyncTask {
  // Key in the volume's tasks map, base name of the store file, and the
  // name a client logs in with.
  std::string name;
  // Upper case, ends with a backslash, e.g. "D:\DATA\".
  std::string rootPath;
  // Paths relative to the root that the task leaves out.
  std::vector<std::string> excludes;
  // Log every entry that the initial build adds.
  bool logDetail = false;
  // Identity of the store (its creation time, low 32 bits); 0 when none.
  std::atomic<uint32_t> storeId{0};
  // Whether the store is open and loaded. Until then the task is not
  // served (logins to it are refused), takes no changes and is retried
  // (OpenTaskStore); once set it stays set. Set with release order after
  // the store and catalog are in place.
  std::atomic<bool> storeOpen{false};
  // Why the store could not be opened: the errno of the failure (EISDIR
  // for a directory in its place, EINVAL for another kind of file, 0 for
  // a name that cannot be a file name). Read by the network threads for
  // their log line.
  std::atomic<int> storeError{0};
  // The catalog may not equal the tree: its store was damaged, opened
  // late, or a catch-up could not see everything. A full catch-up walk
  // against the tree clears it; until then no journal position is recorded
  // for the task.
  std::atomic<bool> needsRebuild{false};
  // Local date (yyyymmdd) on which the journal position was last recorded.
  // Writer only.
  uint32_t positionSavedOn = 0;
  // Highest journal position that the store records. Writer only.
  int64_t lastUsn = 0;
  // Versions of entries made anew start at least here: above every version
  // of an entry that was forgotten, so that a reference that comes back
  // goes on with higher versions than its old records carry. Writer only.
  uint32_t versionFloor = 0;
  // Entries whose last written record says they left the tree: they are
  // forgotten (ForgetDeparted) once the batch that wrote them is done.
  // Writer only.
  std::vector<uint64_t> departed;

  CatalogStore store;

  // Guards entries and dirIndex. The changing side holds it for writing
  // while it changes memory only, never across a store write or a flush;
  // lookups hold it for reading, never across a network send.
  // Only the task's writer changes them, so the writer may read them
  // without the lock.
  mutable SharedMutex catalogLock;
  // The catalog: file reference number -> current record. An entry that
  // left the tree (state 255 or 7) stays only until its record is on disk
  // (ForgetDeparted); an entry is also removed when the record that added
  // it could not be written.
  EntryMap entries GUARDED_BY(catalogLock);
  // Directory -> the directories recorded with it as their parent.
  std::unordered_map<uint64_t, std::unordered_set<uint64_t>> dirIndex
      GUARDED_BY(catalogLock);
  // Directory -> the parent whose dirIndex set holds it now, so that a
  // directory entered under a new parent leaves the former parent's set.
  std::unordered_map<uint64_t, uint64_t> dirParent GUARDED_BY(catalogLock);
  // File reference -> the keys of the entries of its further names (those
  // with a link trailer, see catalog/entry_links.h), deleted ones
  // included. A file's first name is keyed by its reference and is not
  // listed here.
  std::unordered_map<uint64_t, std::vector<uint64_t>> links
      GUARDED_BY(catalogLock);
};

// The tasks of one volume by name.
using TaskMap = std::unordered_map<std::string, std::unique_ptr<SyncTask>>;

// Builds a task from its configuration: name, root path (upper case, with
// its trailing backslash) and the ';'-separated exclude text, and loads its
// store from options.directory (LoadStore). A store that cannot be opened
// leaves the task with storeOpen false (logged). Main thread, at start-up.
std::unique_ptr<SyncTask> OpenTask(const std::string& name,
                                   const std::string& rootPath,
                                   const std::string& excludeText,
                                   const StoreOptions& options);

// Splits an exclude text at every ';', empty pieces included.
std::vector<std::string> SplitExcludes(const std::string& excludeText);

// The current record of fileRef, deleted entries included, or nullptr.
// The caller holds task.catalogLock (shared or exclusive).
CatalogRecord* FindEntry(SyncTask& task, uint64_t fileRef)
    REQUIRES_SHARED(task.catalogLock);
const CatalogRecord* FindEntry(const SyncTask& task, uint64_t fileRef)
    REQUIRES_SHARED(task.catalogLock);

// Enters directory dirRef in the dirIndex set of parentRef, taking it out
// of the set of the parent it was entered under before, if another. The
// caller holds task.catalogLock exclusively.
void EnterDirectory(SyncTask& task, uint64_t dirRef, uint64_t parentRef)
    REQUIRES(task.catalogLock);

// Notes that the entry key is a further name of the file fileRef (no-op
// when key is fileRef or listed already). ForgetLink undoes it. The caller
// holds task.catalogLock exclusively.
void EnterLink(SyncTask& task, uint64_t fileRef, uint64_t key)
    REQUIRES(task.catalogLock);
void ForgetLink(SyncTask& task, uint64_t fileRef, uint64_t key)
    REQUIRES(task.catalogLock);

// The keys of every entry of the file fileRef, in any state: its own
// reference first when the catalog holds it, then its further names. The
// caller holds task.catalogLock (shared or exclusive).
std::vector<uint64_t> KeysOfFile(const SyncTask& task, uint64_t fileRef)
    REQUIRES_SHARED(task.catalogLock);

// The key for a new entry of the name rel (in directory parentRef) of the
// file fileRef: fileRef itself when the catalog holds no entry under it,
// else the first LinkKey the catalog does not hold. The caller holds
// task.catalogLock (shared or exclusive).
uint64_t KeyForNewName(const SyncTask& task, uint64_t fileRef,
                       uint64_t parentRef, std::string_view rel)
    REQUIRES_SHARED(task.catalogLock);

// Whether relativePath is an exclude entry or lies below one (ASCII case
// ignored). Thread safe (reads the constant excludes only).
bool IsExcluded(const SyncTask& task, std::string_view relativePath);

// Whether a change record's full path ("\\?\D:\...") lies below the task's
// root (ASCII case ignored). The root directory itself is not below it.
bool IsBelowRoot(const SyncTask& task, std::string_view fullPath);

// The path relative to the root of a full path that IsBelowRoot accepts.
std::string_view RelativePath(const SyncTask& task, std::string_view fullPath);

}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_SYNC_TASK_H_
