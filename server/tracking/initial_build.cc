#include "tracking/initial_build.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/log.h"
#include "catalog/catalog_changes.h"
#include "catalog/catalog_store.h"
#include "catalog/entry_links.h"
#include "catalog/record_extension.h"
#include "tracking/file_ref_lookup.h"

namespace dirsync {
namespace {

// Size, times and extras of one item, read by its reference at most once
// however many tasks take it.
struct ItemAttributes {
  bool read = false;
  Status status;  // how reading them went
  uint64_t fileSize = 0;
  uint64_t creationTime = 0;
  uint64_t lastWriteTime = 0;
  EntryExtras extras;
};

// Fills attributes once: from what the walk read when it did (what changed
// since is in the journal), else by the item's reference. A directory's
// entry carries no size or times.
void ReadAttributes(uint64_t ref, const FileNode& node, VolumeJournal& journal,
                    ItemAttributes* attributes) {
  if (attributes->read) return;
  attributes->read = true;
  if (node.hasAttributes) {
    if (node.state != StateDirectory) {
      attributes->fileSize = node.fileSize;
      attributes->creationTime = node.creationTime;
      attributes->lastWriteTime = node.lastWriteTime;
    }
    attributes->extras = ExtrasForMode(node.mode);
    return;
  }
  CatalogRecord values = CatalogRecord::Allocate(kRecordHeaderSize);
  values.set_fileRef(ref);
  values.set_state(static_cast<uint8_t>(node.state));
  attributes->status = FillFromFileRef(journal, &values, -1);
  attributes->fileSize = values.fileSize();
  attributes->creationTime = values.creationTime();
  attributes->lastWriteTime = values.lastWriteTime();
  attributes->extras = ReadExtras(values.data());
}

// The new entry of an item: version 1, its relative path, size, times and
// extras, in one block of its final size. Empty when its size and times
// could not be had: an item gone meanwhile is no entry, and one whose
// lookup failed is left for the catch-up walk that follows an incomplete
// build, rather than entered with a size of 0.
CatalogRecord NewEntry(uint64_t ref, const FileNode& node, std::string_view rel,
                       const ItemAttributes& attributes) {
  if (!attributes.status.ok()) return CatalogRecord();
  CatalogRecord block = CatalogRecord::Allocate(static_cast<int32_t>(
      kRecordHeaderSize + rel.size() + ExtensionSize(attributes.extras)));
  block.set_fileRef(ref);
  block.set_parentRef(node.parentRef);
  block.set_state(static_cast<uint8_t>(node.state));
  block.set_version(1);
  std::memcpy(block.mutable_name(), rel.data(), rel.size());
  block.set_fileSize(attributes.fileSize);
  block.set_creationTime(attributes.creationTime);
  block.set_lastWriteTime(attributes.lastWriteTime);
  WriteExtras(block, attributes.extras);
  return block;
}

// The names of a file the scan met in several places, each checked to
// name it still (a place it was renamed from during the scan does not),
// as full paths. A check that fails for want of resources marks the scan
// incomplete.
std::vector<LinkName> CheckedNames(uint64_t ref, const FileNode& node,
                                   VolumeJournal& journal, VolumeScan* scan) {
  std::vector<LinkName> names;
  std::vector<std::pair<uint64_t, std::string>> places{{node.parentRef, node.name}};
  places.insert(places.end(), node.otherNames.begin(), node.otherNames.end());
  for (const auto& [parent, name] : places) {
    std::string path;
    Status found = journal.PlaceOfName(ref, parent, name, &path);
    if (found.ok()) {
      names.push_back({parent, std::move(path)});
    } else if (!found.IsNotFound() && !scan->incomplete) {
      scan->incomplete = true;
      LogPrint("%D Init_Volume: cannot check the name %s: %s; left for a "
               "catch-up\n",
               name.c_str(), found.ToString().c_str());
    }
  }
  return names;
}

// The entry of a further name of a file: block (the entry of the file as
// NewEntry makes it) under its own key and parent, with the file's
// reference in its trailer.
CatalogRecord FurtherNameEntry(const CatalogRecord& block, uint64_t key,
                               uint64_t file, uint64_t parent) {
  std::string_view rel = block.nameView();
  CatalogRecord out = CatalogRecord::Allocate(
      static_cast<int32_t>(kRecordHeaderSize + rel.size() + kLinkTrailerSize));
  const int32_t size = out.length();
  std::memcpy(out.data(), block.data(), kRecordHeaderSize);
  record::SetLength(out.data(), size);
  std::memcpy(out.mutable_name(), rel.data(), rel.size());
  out.set_fileRef(key);
  out.set_parentRef(parent);
  WriteExtras(out, ReadExtras(block.data()));
  StampLinkTrailer(out, file);
  return out;
}

// Whether task takes a new entry for the name rel (in directory parentRef)
// of the file ref, and under which key: the file's own reference unless
// the catalog holds it already, the next free further-name key for a
// further name the task does not hold yet.
bool TakesName(const SyncTask& task, uint64_t ref, bool furtherName,
               uint64_t parentRef, std::string_view rel, uint64_t* key)
    REQUIRES_SHARED(task.catalogLock) {
  *key = ref;
  const CatalogRecord* existing = FindEntry(task, ref);
  if (existing == nullptr || existing->state() == StateDirDeleted) return true;
  if (!furtherName) return false;
  for (uint64_t held : KeysOfFile(task, ref)) {
    if (task.entries.find(held)->second.nameView() == rel) return false;
  }
  *key = KeyForNewName(task, ref, parentRef, rel);
  return true;
}

// One pass of the initial build over a scan.
class InitialBuild {
 public:
  InitialBuild(TaskMap& tasks, VolumeScan* scan, VolumeJournal& journal)
      : tasks_(tasks), scan_(scan), journal_(journal) {}

  int32_t Run() {
    // The catalogs grow to about the scan's size at once rather than by
    // doubling; what a task whose root holds less does not need is given
    // back at the end.
    for (auto& [taskName, task] : tasks_) {
      if (!task->storeOpen.load(std::memory_order_acquire)) continue;
      WriterLock lock(&task->catalogLock);
      if (task->entries.empty()) startedEmpty_.push_back(task.get());
      task->entries.reserve(task->entries.size() + scan_->fileNodes.size());
    }
    std::string path;  // one buffer for every item's path
    for (auto& [ref, node] : scan_->fileNodes) {
      auto parent = scan_->dirNodes.find(node.parentRef);
      JoinPathInto(parent == scan_->dirNodes.end()
                       ? std::string()
                       : DirectoryPath(*scan_, journal_, node.parentRef, parent->second),
                   node.name, &path);
      ItemAttributes attributes;
      // A file met in several places: every place that still names it is
      // an entry of its own.
      if (node.otherNames.empty() || node.state == -1 || node.state == 6) {
        TakeName(ref, node, node.parentRef, path, false, &attributes);
      } else {
        for (const LinkName& name : CheckedNames(ref, node, journal_, scan_)) {
          TakeName(ref, node, name.parentRef, name.path, name.path != path, &attributes);
        }
      }
      std::string().swap(node.name);
    }
    scan_->fileNodes = {};
    scan_->dirNodes = {};
    for (auto& [taskName, task] : tasks_) {
      {
        WriterLock lock(&task->catalogLock);
        if (task->entries.bucket_count() >
            2 * task->entries.size() / task->entries.max_load_factor() + 64) {
          task->entries.rehash(0);
        }
      }
      // A failed flush is logged by the store, which keeps the bytes for
      // the next one; the monitor tries again until they are written.
      FlushBuffer(task->store, true).IgnoreError();
    }
    return count_;
  }

 private:
  // The name path (in directory parentRef) of the item ref, for every task
  // that holds it below its root.
  void TakeName(uint64_t ref, const FileNode& node, uint64_t parentRef,
                const std::string& path, bool furtherName, ItemAttributes* attributes) {
    for (auto& [taskName, taskPointer] : tasks_) {
      SyncTask& task = *taskPointer;
      // A task whose store is not open takes nothing: it is caught up
      // against the tree once its store opens.
      if (!task.storeOpen.load(std::memory_order_acquire)) continue;
      if (node.state == -1 || node.state == 7) {
        LogPrint("%D Init Delete file: %s\n", path.c_str());
        continue;
      }
      size_t rootLength = task.rootPath.size();
      if (path.size() <= rootLength + kFinalPathPrefixLength || !IsBelowRoot(task, path)) {
        continue;
      }
      std::string_view rel = RelativePath(task, path);
      if (IsExcluded(task, rel)) continue;

      ReadAttributes(ref, node, journal_, attributes);
      CatalogRecord* entry = nullptr;
      bool unreadable = false;
      {
        // One hold for the lookup and the change: only this thread changes
        // the catalog, and the block is built in memory.
        WriterLock lock(&task.catalogLock);
        uint64_t key = ref;
        // The scan meets each reference once: a catalog that was empty
        // holds a first name only if this build entered it, so the lookup
        // (a cache miss per entry) is left out there.
        const bool takes = (!furtherName && StartedEmpty(task)) ||
                           TakesName(task, ref, furtherName, parentRef, rel, &key);
        if (takes) {
          CatalogRecord block = NewEntry(ref, node, rel, *attributes);
          if (!block) {
            unreadable = true;
          } else {
            block.set_parentRef(parentRef);
            if (key != ref) block = FurtherNameEntry(block, key, ref, parentRef);
            // A reference forgotten after it left goes on with higher
            // versions.
            if (block.version() < task.versionFloor) block.set_version(task.versionFloor);
            entry = &(task.entries[key] = std::move(block));
            EnterLink(task, ref, key);
            IndexDirectory(task, *entry, false, nullptr, nullptr);
          }
        }
      }
      if (unreadable) {
        if (!attributes->status.IsNotFound() && !scan_->incomplete) {
          scan_->incomplete = true;
          LogPrint("%D Init_Volume: cannot read %s: %s; left for a catch-up\n", path.c_str(),
                   attributes->status.ToString().c_str());
        }
        continue;
      }
      if (entry != nullptr) {
        // A failed write is logged by the store; the catalog keeps the
        // entry.
        WriteEntry(task, *entry, true).IgnoreError();
        if (task.logDetail) {
          LogPrint("%D Add: state = %d, name = %s\n",
                   static_cast<int>(static_cast<int8_t>(entry->state())),
                   std::string(rel).c_str());
        }
      }
      ++count_;
      if (count_ % 10000 == 0) {
        int size;
        {
          ReaderLock lock(&task.catalogLock);
          size = static_cast<int>(task.entries.size());
        }
        LogPrint("%D Add: cnt = %d, path = %s, size = %d\n", count_, task.rootPath.c_str(),
                 size);
      }
    }
  }

  bool StartedEmpty(const SyncTask& task) const {
    return std::find(startedEmpty_.begin(), startedEmpty_.end(), &task) !=
           startedEmpty_.end();
  }

  TaskMap& tasks_;
  // Tasks whose catalogs held nothing when the build began.
  std::vector<const SyncTask*> startedEmpty_;
  VolumeScan* scan_;
  VolumeJournal& journal_;
  int32_t count_ = 0;
};

}  // namespace

int32_t InitVolume(TaskMap& tasks, VolumeScan* scan, VolumeJournal& journal) {
  return InitialBuild(tasks, scan, journal).Run();
}

}  // namespace dirsync
