#include "catalog/store_compaction.h"

#include <fcntl.h>
#include <malloc.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "catalog/catalog_record.h"
#include "catalog/entry_links.h"
#include "catalog/record_extension.h"
#include "catalog/catalog_store.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace dirsync {
namespace {

// Below this a store is counted again whenever it grows by this much.
constexpr int64_t kSmallestCheckStep = 64 * 1024;
// Forgetting at least this many entries at once gives freed memory back.
constexpr size_t kTrimAfterForgetting = 1024;

bool IsLive(uint8_t state) {
  return IsLiveFileState(state) || state == StateDirectory;
}

// The bytes of an entry's record without the room its block may have
// beyond its names: what a fresh scan writes for it.
int32_t TrimmedLength(const CatalogRecord& entry) {
  int32_t length =
      kRecordHeaderSize + static_cast<int32_t>(entry.nameView().size());
  if (entry.state() == StateRenamed) {
    length += static_cast<int32_t>(entry.oldNameView().size()) + 1;
  }
  return std::min(length, entry.length());
}

CatalogRecord TrimmedCopy(const CatalogRecord& entry) {
  const int32_t length = TrimmedLength(entry);
  CatalogRecord copy = CatalogRecord::Allocate(length);
  std::memcpy(copy.data(), entry.data(), static_cast<size_t>(length));
  record::SetLength(copy.data(), length);
  // A name cut by a damaged length still ends in a NUL.
  copy.data()[length - 1] = 0;
  // Its type and permissions stay, and a further name of a file keeps the
  // trailer that names the file.
  WriteExtras(copy, ReadExtras(entry.data()));
  if (HasLinkTrailer(entry.data())) StampLinkTrailer(copy, FileOfEntry(entry));
  return copy;
}

// Directories first, parents before children (fewer separators first),
// then files; by name within each, so the order does not depend on the
// hash map.
bool WritesBefore(const CatalogRecord& a, const CatalogRecord& b) {
  auto rank = [](const CatalogRecord& r) -> size_t {
    if (r.state() != StateDirectory) return SIZE_MAX;
    std::string_view name = r.nameView();
    return static_cast<size_t>(std::count(name.begin(), name.end(), '\\'));
  };
  size_t ra = rank(a);
  size_t rb = rank(b);
  if (ra != rb) return ra < rb;
  return a.nameView() < b.nameView();
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// A new store id: the time, as a new store's is, but above the old id, so
// that compactions in quick succession never give an id again that a
// client may still hold.
uint32_t NewStoreId(uint32_t old) {
  const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  return std::max(now, old + 1);
}

// The new store file as it is written: a store of its own, sealed as the
// task's is, that no reader sees until it takes the old one's place.
struct NewFile {
  CatalogStore store;
  std::vector<CatalogRecord> records;  // the live entries' copies, numbered
};

Status WriteNewFile(SyncTask& task, uint32_t storeId, NewFile& out) {
  CatalogStore& fresh = out.store;
  CatalogStore& old = task.store;
  fresh.env = old.env;
  fresh.path = CompactionPathFor(old.path);
  // The copies keep their "not carried" marks, judged by the same room.
  fresh.nameRoom = old.nameRoom;
  Status status = fresh.env->OpenFile(
      fresh.path, O_RDWR | O_CREAT | O_TRUNC | O_DSYNC, 0644, &fresh.fd);
  if (!status.ok()) return status;
  // A failure of the new file is no failure of the store: it is logged by
  // CompactStore, once.
  fresh.logsFailures = false;
  CatalogRecord header = CatalogRecord::Allocate(kRecordHeaderSize);
  header.set_state(StateHeader);
  header.set_version(storeId);
  header.set_fileSize(kSealedFromTheStart);
  status = WriteRecord(fresh, header, true);
  for (size_t i = 0; status.ok() && i < out.records.size(); ++i) {
    status = WriteRecord(fresh, out.records[i], true);
  }
  // The journal position the old store recorded, so that the next start
  // catches up from where this one is.
  if (status.ok() && task.lastUsn > 0) {
    status = WriteMarker(fresh, task.lastUsn, StateFiller, 0, true);
  }
  if (status.ok()) status = FlushBuffer(fresh, true);
  // The file's size is metadata: fsync, not only fdatasync, before the
  // rename makes it the store.
  if (status.ok()) status = fresh.env->Sync(fresh.fd.get());
  return status;
}

}  // namespace

std::string CompactionPathFor(const std::string& storePath) {
  return storePath + ".compact";
}

void ForgetEntry(SyncTask& task, uint64_t ref) {
  auto found = task.entries.find(ref);
  if (found == task.entries.end()) return;
  if (found->second && found->second.version() >= task.versionFloor) {
    task.versionFloor = found->second.version() + 1;
  }
  // A further name of a file leaves the file's list of names.
  if (found->second && HasLinkTrailer(found->second.data())) {
    ForgetLink(task, FileOfEntry(found->second), ref);
  }
  task.entries.erase(found);
  auto parent = task.dirParent.find(ref);
  if (parent == task.dirParent.end()) return;
  auto siblings = task.dirIndex.find(parent->second);
  if (siblings != task.dirIndex.end()) {
    siblings->second.erase(ref);
    if (siblings->second.empty()) task.dirIndex.erase(siblings);
  }
  task.dirParent.erase(parent);
}

size_t ForgetDeparted(SyncTask& task) {
  if (task.departed.empty()) return 0;
  size_t forgotten = 0;
  {
    WriterLock lock(&task.catalogLock);
    for (uint64_t ref : task.departed) {
      const CatalogRecord* entry = FindEntry(task, ref);
      if (entry == nullptr || IsLive(entry->state())) continue;
      ForgetEntry(task, ref);
      ++forgotten;
    }
  }
  task.departed.clear();
  if (task.departed.capacity() > 4096) std::vector<uint64_t>().swap(task.departed);
  return forgotten;
}

int64_t LiveRecordBytes(const SyncTask& task) {
  ReaderLock lock(&task.catalogLock);
  int64_t bytes = kRecordHeaderSize;  // the header
  for (const auto& [ref, entry] : task.entries) {
    if (IsLive(entry.state())) bytes += TrimmedLength(entry);
  }
  return bytes;
}

bool CompactionDue(SyncTask& task, int64_t minDeadBytes) {
  CatalogStore& store = task.store;
  if (!task.storeOpen.load(std::memory_order_acquire) ||
      task.needsRebuild.load() || !store.damaged.empty() ||
      !store.buffer.empty() || !store.staged.empty() || store.cutOwed ||
      !store.fd.valid()) {
    return false;
  }
  const int64_t size = store.storeSize.load(std::memory_order_relaxed);
  if (size < store.nextCompactionCheck) return false;
  const int64_t live = LiveRecordBytes(task);
  const int64_t dead = size - live;
  if (dead > std::max(live, minDeadBytes)) return true;
  store.nextCompactionCheck = size + std::max(size / 8, kSmallestCheckStep);
  return false;
}

Status CompactStore(SyncTask& task) {
  CatalogStore& store = task.store;
  const int64_t oldSize = store.storeSize.load(std::memory_order_relaxed);
  const uint64_t started = GetTickCount64();
  const uint32_t storeId = NewStoreId(task.storeId.load());
  NewFile next;
  {
    ReaderLock lock(&task.catalogLock);
    next.records.reserve(task.entries.size());
    for (const auto& [ref, entry] : task.entries) {
      if (IsLive(entry.state())) next.records.push_back(TrimmedCopy(entry));
    }
  }
  std::sort(next.records.begin(), next.records.end(), WritesBefore);

  Status status = WriteNewFile(task, storeId, next);
  if (status.ok()) status = store.env->Rename(next.store.path, store.path);
  if (!status.ok()) {
    if (next.store.fd.valid()) {
      next.store.fd.reset();
      store.env->Unlink(next.store.path).IgnoreError();
    }
    if (!store.compactionFailing) {
      LogPrint("%D store %s: compaction failed: %s; the store stays as it is "
               "and is compacted later\n",
               store.path.c_str(), status.ToString().c_str());
      store.compactionFailing = true;
    }
    store.nextCompactionCheck =
        oldSize + std::max(oldSize / 8, kSmallestCheckStep);
    return status;
  }
  // The rename is done: the new file is the store whatever follows. A
  // directory that cannot be synced may lose the rename in a power cut,
  // which leaves the old store, whole.
  Status synced = store.env->SyncDirectory(DirectoryOf(store.path));
  if (!synced.ok()) {
    LogPrint("%D store %s: syncing its directory after compaction failed: %s\n",
             store.path.c_str(), synced.ToString().c_str());
  }

  const int64_t newSize = next.store.storeSize.load(std::memory_order_relaxed);
  size_t entries = 0;
  {
    WriterLock fileLock(&store.fileLock);
    WriterLock lock(&task.catalogLock);
    store.fd = std::move(next.store.fd);
    store.storeSize.store(newSize, std::memory_order_release);
    store.recordCount = next.store.recordCount;
    store.spanStart = newSize;
    store.writeFailing = false;
    task.storeId.store(storeId, std::memory_order_relaxed);
    // The entries' records are the new file's now.
    for (const CatalogRecord& copy : next.records) {
      CatalogRecord* entry = FindEntry(task, copy.fileRef());
      assert(entry != nullptr);
      entry->set_sequence(copy.sequence());
    }
    // What left the tree is in no record of the new store.
    std::vector<uint64_t> gone;
    for (const auto& [ref, entry] : task.entries) {
      if (!IsLive(entry.state())) gone.push_back(ref);
    }
    for (uint64_t ref : gone) ForgetEntry(task, ref);
    task.entries.rehash(0);
    entries = task.entries.size();
  }
  task.departed.clear();
  // Clients waiting on the old store are answered now (and sent to the
  // new one).
  if (StoreGrowthListener* listener =
          store.growthListener.load(std::memory_order_acquire)) {
    listener->StoreGrew();
  }
  store.compactionFailing = false;
  store.nextCompactionCheck = newSize + std::max(newSize / 8, kSmallestCheckStep);
  // Give the freed entries' memory back to the system.
  next.records.clear();
  ::malloc_trim(0);
  LogPrint("%D store %s compacted: %L -> %L bytes, %d entries, store id %u, "
           "%d ms\n",
           store.path.c_str(), oldSize, newSize, static_cast<int>(entries),
           storeId, static_cast<int>(GetTickCount64() - started));
  return Status::OK();
}

void MaintainStore(SyncTask& task, const StoreOptions& options) {
  const size_t forgotten = ForgetDeparted(task);
  if (CompactionDue(task, options.compactMinDeadBytes)) {
    CompactStore(task).IgnoreError();  // logged; tried again later
  } else if (forgotten >= kTrimAfterForgetting) {
    // A large deletion freed many small blocks (and the batch's changes
    // before it): give them back rather than keep them for later.
    ::malloc_trim(0);
  }
}

}  // namespace dirsync
