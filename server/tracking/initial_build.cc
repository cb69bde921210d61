#include "tracking/initial_build.h"

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
    ItemAttributes attributes;
    // A file met in several places: every place that still names it is an
    // entry of its own.
    std::vector<LinkName> names;
    if (node.otherNames.empty() || node.state == -1 || node.state == 6) {
      names.push_back({node.parentRef, node.path});
    } else {
      names = CheckedNames(ref, node, journal, scan);
    }
    for (const LinkName& name : names) {
      for (auto& [taskName, taskPointer] : tasks) {
        const std::string& path = name.path;
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
        uint64_t key = ref;
        {
          ReaderLock lock(&task.catalogLock);
          const CatalogRecord* existing = FindEntry(task, ref);
          add = existing == nullptr || existing->state() == StateDirDeleted;
          if (!add && name.path != node.path) {
            // A further name, unless the task holds it already.
            add = true;
            for (uint64_t held : KeysOfFile(task, ref)) {
              if (task.entries.find(held)->second.nameView() == rel) add = false;
            }
            key = KeyForNewName(task, ref, name.parentRef, rel);
          }
        }
        if (add) {
          CatalogRecord block = NewEntry(ref, node, rel, journal, &attributes);
          if (block) block.set_parentRef(name.parentRef);
          if (block && key != ref) {
            block = FurtherNameEntry(block, key, ref, name.parentRef);
          }
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
            entry = &(task.entries[key] = std::move(block));
            EnterLink(task, ref, key);
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
