#include "tracking/initial_build.h"

#include <cstring>
#include <string>
#include <string_view>

#include "platform/log.h"
#include "catalog/catalog_changes.h"
#include "catalog/catalog_store.h"
#include "catalog/record_extension.h"
#include "tracking/file_ref_lookup.h"

namespace dirsync {
namespace {

// Size and times of one item, read by its reference at most once however
// many tasks take it.
struct ItemAttributes {
  bool read = false;
  Status status;         // how reading them went
  CatalogRecord values;  // a header holding size and times
};

// The new entry of an item: version 1, its relative path, size and times.
// Empty when its size and times cannot be had: an item gone meanwhile is
// no entry, and one whose lookup failed is left for the catch-up walk that
// follows an incomplete build, rather than entered with a size of 0.
CatalogRecord NewEntry(uint64_t ref, const FileNode& node, std::string_view rel,
                       VolumeJournal& journal, ItemAttributes* attributes) {
  if (!attributes->read) {
    attributes->read = true;
    attributes->values = CatalogRecord::Allocate(kRecordHeaderSize);
    attributes->values.set_fileRef(ref);
    attributes->values.set_state(static_cast<uint8_t>(node.state));
    if (node.hasAttributes) {
      // Read by the walk: what changed since is in the journal. A
      // directory's entry carries no size or times.
      if (node.state != StateDirectory) {
        attributes->values.set_fileSize(node.fileSize);
        attributes->values.set_creationTime(node.creationTime);
        attributes->values.set_lastWriteTime(node.lastWriteTime);
      }
      WriteExtras(attributes->values, ExtrasForMode(node.mode));
    } else {
      attributes->status = FillFromFileRef(journal, &attributes->values, -1);
    }
  }
  if (!attributes->status.ok()) return CatalogRecord();
  CatalogRecord block =
      CatalogRecord::Allocate(static_cast<int32_t>(kRecordHeaderSize + rel.size()));
  block.set_fileRef(ref);
  block.set_parentRef(node.parentRef);
  block.set_state(static_cast<uint8_t>(node.state));
  block.set_version(1);
  std::memcpy(block.mutable_name(), rel.data(), rel.size());
  block.set_fileSize(attributes->values.fileSize());
  block.set_creationTime(attributes->values.creationTime());
  block.set_lastWriteTime(attributes->values.lastWriteTime());
  WriteExtras(block, ReadExtras(attributes->values.data()));
  return block;
}

}  // namespace

int32_t InitVolume(TaskMap& tasks, VolumeScan* scan, VolumeJournal& journal) {
  int32_t count = 0;
  for (auto& [ref, node] : scan->fileNodes) {
    auto parent = scan->dirNodes.find(node.parentRef);
    node.path = JoinPath(parent == scan->dirNodes.end()
                             ? std::string()
                             : DirectoryPath(*scan, journal, node.parentRef,
                                             parent->second),
                         node.name);
    const std::string& path = node.path;
    ItemAttributes attributes;
    for (auto& [taskName, taskPointer] : tasks) {
      SyncTask& task = *taskPointer;
      // A task whose store is not open takes nothing: it is caught up
      // against the tree once its store opens.
      if (!task.storeOpen.load(std::memory_order_acquire)) continue;
      if (node.state == -1 || node.state == 7) {
        LogPrint("%D Init Delete file: %s\n", path.c_str());
        continue;
      }
      size_t rootLength = task.rootPath.size();
      if (path.size() <= rootLength + kFinalPathPrefixLength ||
          !IsBelowRoot(task, path)) {
        continue;
      }
      std::string_view rel = RelativePath(task, path);
      if (IsExcluded(task, rel)) continue;

      bool add;
      {
        ReaderLock lock(&task.catalogLock);
        const CatalogRecord* existing = FindEntry(task, ref);
        add = existing == nullptr || existing->state() == StateDirDeleted;
      }
      if (add) {
        CatalogRecord block = NewEntry(ref, node, rel, journal, &attributes);
        if (!block) {
          if (!attributes.status.IsNotFound() && !scan->incomplete) {
            scan->incomplete = true;
            LogPrint("%D Init_Volume: cannot read %s: %s; left for a catch-up\n",
                     path.c_str(), attributes.status.ToString().c_str());
          }
          continue;
        }
        // A reference forgotten after it left goes on with higher versions.
        if (block.version() < task.versionFloor) block.set_version(task.versionFloor);
        CatalogRecord* entry;
        {
          WriterLock lock(&task.catalogLock);
          entry = &(task.entries[ref] = std::move(block));
          IndexDirectory(task, *entry, false, nullptr, nullptr);
        }
        // A failed write is logged by the store; the catalog keeps the
        // entry.
        WriteEntry(task, *entry, true).IgnoreError();
        if (task.logDetail) {
          LogPrint("%D Add: state = %d, name = %s\n",
                   static_cast<int>(static_cast<int8_t>(entry->state())),
                   std::string(rel).c_str());
        }
      }
      ++count;
      if (count % 10000 == 0) {
        int size;
        {
          ReaderLock lock(&task.catalogLock);
          size = static_cast<int>(task.entries.size());
        }
        LogPrint("%D Add: cnt = %d, path = %s, size = %d\n", count,
                 task.rootPath.c_str(), size);
      }
    }
    std::string().swap(node.name);
    std::string().swap(node.path);
  }
  scan->fileNodes = {};
  scan->dirNodes = {};
  for (auto& [taskName, taskPointer] : tasks) {
    // A failed flush is logged by the store, which keeps the bytes for the
    // next one; the monitor tries again until they are written.
    FlushBuffer(taskPointer->store, true).IgnoreError();
  }
  return count;
}

}  // namespace dirsync
