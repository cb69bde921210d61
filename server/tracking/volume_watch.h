// One VolumeWatch per drive letter that holds a task: the drive's tasks,
// the journal reader's position and the changes waiting to be applied.
#ifndef DIRSYNC_CORE_VOLUME_WATCH_H_
#define DIRSYNC_CORE_VOLUME_WATCH_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "catalog/catalog_record.h"
#include "catalog/sync_task.h"

namespace dirsync {

// A directory seen by a full scan.
struct DirNode {
  uint64_t parentRef = 0;
  DirNode* parent = nullptr;  // filled on first use
  std::string name;           // the directory's own name
  std::string path;           // full path once computed; empty until then
};

// An entry (file or directory) seen by a full scan.
struct FileNode {
  uint64_t parentRef = 0;
  std::string name;
  int32_t state = 0;  // 1 file, 2 file seen again, 6 directory, -1 deleted
  std::string path;
};

struct VolumeWatch {
  char driveLetter = 0;     // upper case
  int64_t journalPos = 0;   // where the next journal read starts
  int64_t lastReadUsn = 0;  // next position returned by the last read
  uint64_t firstPendingTick = 0;  // a change entered an empty pending
  uint64_t lastChangeTick = 0;    // the latest change entered pending
  int32_t timeout = 10000;        // quiet period in milliseconds

  // The drive's tasks by name. Complete before any thread starts; never
  // changed afterwards.
  std::unordered_map<std::string, std::unique_ptr<SyncTask>> tasks;

  // Filled by a full scan, consumed by the initial build.
  std::unordered_map<uint64_t, DirNode> dirNodes;
  std::unordered_map<uint64_t, FileNode> fileNodes;

  // Changes read from the journal and not yet applied, one per file
  // reference number. Guarded by volumesLock.
  std::unordered_map<uint64_t, CatalogRecord> pending;
};

// Slot per drive letter character code ('C' = 67); null when unused.
// Filled by LoadTasks on the main thread before any other thread starts.
extern VolumeWatch* volumes[128];

// Guards every VolumeWatch's pending map and ticks, and every catalog
// update made from them.
extern std::mutex volumesLock;

// True until a console control event asks the program to stop.
extern std::atomic<bool> running;

}  // namespace dirsync

#endif  // DIRSYNC_CORE_VOLUME_WATCH_H_
