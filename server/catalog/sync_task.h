// A task: one directory tree that the server follows, its catalog of every
// file and directory recorded below the root, and its store file.
#ifndef DIRSYNC_TRACKING_SYNC_TASK_H_
#define DIRSYNC_TRACKING_SYNC_TASK_H_

#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/catalog_record.h"

namespace dirsync {

// The store file of a task: an append-only log of catalog records in 4 MiB
// blocks. Written by one thread at a time (the thread that changes the
// task's catalog); read by the network threads with positioned reads.
struct CatalogStore {
  CatalogStore() = default;
  CatalogStore(const CatalogStore&) = delete;
  CatalogStore& operator=(const CatalogStore&) = delete;
  ~CatalogStore();

  // Records waiting to be written by a buffered write.
  std::vector<uint8_t> buffer;
  // Bytes of direct writes numbered but not yet written: they land behind
  // the file's bytes and buffer, and go to disk with one positioned write.
  std::vector<uint8_t> staged;
  // The open store file, or -1 when it could not be opened.
  int fd = -1;
  // Full path of the store file.
  std::string path;
  // Sequence number of the last record written or loaded.
  int64_t recordCount = 0;
  // Bytes on disk: the offset of the next direct write. Read without a lock
  // by the network threads, written by the store's writer.
  std::atomic<int64_t> storeSize{0};
};

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
  // Local date (yyyymmdd) on which the journal position was last recorded.
  uint32_t positionSavedOn = 0;
  // Highest journal position that the store records.
  int64_t lastUsn = 0;

  CatalogStore store;

  // Guards entries and dirIndex. The changing side holds it for writing
  // while it changes memory only, never across a store write or a flush;
  // lookups hold it for reading, never across a network send.
  mutable std::shared_mutex catalogLock;
  // The catalog: file reference number -> current record (deleted entries
  // included; entries are never removed).
  std::unordered_map<uint64_t, CatalogRecord> entries;
  // Directory -> the directories recorded with it as their parent.
  std::unordered_map<uint64_t, std::unordered_set<uint64_t>> dirIndex;
  // Directory -> the parent whose dirIndex set holds it now, so that a
  // directory entered under a new parent leaves the former parent's set.
  std::unordered_map<uint64_t, uint64_t> dirParent;
};

// Builds a task from its configuration: name, root path (upper case, with
// its trailing backslash) and the ';'-separated exclude text. Main thread,
// at start-up.
SyncTask* OpenTask(const std::string& name, const std::string& rootPath,
                   const std::string& excludeText);

// Splits an exclude text at every ';', empty pieces included.
std::vector<std::string> SplitExcludes(const std::string& excludeText);

// The task of that exact name (case-sensitive), searching the volumes in
// drive-letter order; nullptr when none. Thread safe: the volumes and their
// task maps never change after start-up.
SyncTask* FindTask(std::string_view name);

// The current record of fileRef, deleted entries included, or nullptr.
// The caller holds task.catalogLock (shared or exclusive).
CatalogRecord* FindEntry(SyncTask& task, uint64_t fileRef);
const CatalogRecord* FindEntry(const SyncTask& task, uint64_t fileRef);

// Enters directory dirRef in the dirIndex set of parentRef, taking it out
// of the set of the parent it was entered under before, if another. The
// caller holds task.catalogLock exclusively.
void EnterDirectory(SyncTask& task, uint64_t dirRef, uint64_t parentRef);

// Whether relativePath is an exclude entry or lies below one (ASCII case
// ignored). Thread safe (reads the constant excludes only).
bool IsExcluded(const SyncTask& task, std::string_view relativePath);

// Whether a change record's full path ("\\?\D:\...") lies below the task's
// root (ASCII case ignored). The root directory itself is not below it.
bool IsBelowRoot(const SyncTask& task, std::string_view fullPath);

// The path relative to the root of a full path that IsBelowRoot accepts.
std::string_view RelativePath(const SyncTask& task, std::string_view fullPath);

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_SYNC_TASK_H_
