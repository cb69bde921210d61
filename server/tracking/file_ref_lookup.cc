#include "tracking/file_ref_lookup.h"

#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

#include "catalog/record_extension.h"
#include "platform/log.h"

namespace dirsync {

CatalogRecord MakeDeleteChange(uint64_t fileRef, uint64_t parentRef) {
  CatalogRecord change = CatalogRecord::Allocate(kRecordHeaderSize);
  change.set_fileRef(fileRef);
  change.set_parentRef(parentRef);
  change.set_state(StateDeleted);
  return change;
}

CatalogRecord MakeUnresolvedChange(uint64_t fileRef, uint64_t parentRef,
                                   int error) {
  CatalogRecord change = CatalogRecord::Allocate(kRecordHeaderSize);
  change.set_fileRef(fileRef);
  change.set_parentRef(parentRef);
  change.set_state(kStateUnresolved);
  change.set_version(static_cast<uint32_t>(error));
  return change;
}

CatalogRecord MakeChange(VolumeJournal& journal, const JournalRecord& source) {
  if (source.deleted) return MakeDeleteChange(source.fileRef, source.parentRef);
  EntryHandle entry;
  Status opened = journal.OpenEntry(source.fileRef, &entry);
  // Gone since the journal read it: its deletion may never be reported
  // (it may have been removed after it left the volume), so say it here.
  if (opened.IsNotFound()) {
    return MakeDeleteChange(source.fileRef, source.parentRef);
  }
  // A failed open proves nothing: look again later.
  if (!opened.ok()) {
    return MakeUnresolvedChange(source.fileRef, source.parentRef,
                                opened.error());
  }
  CatalogRecord change = CatalogRecord::Allocate(kChangeRecordSize);
  change.set_fileRef(source.fileRef);
  change.set_parentRef(source.parentRef);
  change.set_state(entry.directory() ? StateDirectory : StateAdded);
  Status located = FillFromEntry(journal, entry, &change, 0);
  if (!located.ok() && !located.IsNotFound()) {
    return MakeUnresolvedChange(source.fileRef, source.parentRef,
                                located.error());
  }
  if (change.name()[0] == '\0') return CatalogRecord();
  return change;
}

CatalogRecord ChangeByReference(VolumeJournal& journal, uint64_t ref) {
  EntryHandle entry;
  Status opened = journal.OpenEntry(ref, &entry);
  if (opened.IsNotFound()) return MakeDeleteChange(ref, 0);
  if (!opened.ok()) return MakeUnresolvedChange(ref, 0, opened.error());
  JournalRecord record;
  record.fileRef = ref;
  record.directory = entry.directory();
  return MakeChange(journal, record);
}

Status FillFromFileRef(VolumeJournal& journal, CatalogRecord* record,
                       int32_t nameMode) {
  EntryHandle entry;
  Status opened = journal.OpenEntry(record->fileRef(), &entry);
  if (!opened.ok()) return opened;
  return FillFromEntry(journal, entry, record, nameMode);
}

Status FillFromEntry(VolumeJournal& journal, const EntryHandle& entry,
                     CatalogRecord* record, int32_t nameMode) {
  Status located = Status::OK();
  if (nameMode == 0) {
    std::string path;
    uint64_t parent = 0;
    located = journal.FindPath(entry, &path, &parent);
    if (located.ok()) {
      // The name field holds length - 65 bytes with the NUL.
      record->GrowTo(static_cast<int32_t>(kNameOffset + path.size() + 1));
      std::memcpy(record->mutable_name(), path.c_str(), path.size() + 1);
      if (parent != 0) record->set_parentRef(parent);
    }
  }
  EntryAttributes attributes;
  if (journal.Attributes(entry, &attributes)) {
    // A directory's record carries no size or times, only its type and
    // permissions.
    if (record->state() != StateDirectory) {
      record->set_fileSize(attributes.fileSize);
      record->set_creationTime(attributes.creationTime);
      record->set_lastWriteTime(attributes.lastWriteTime);
    }
    WriteExtras(*record, ExtrasForMode(attributes.mode));
  }
  return located;
}

bool RefreshChange(VolumeJournal& journal, CatalogRecord* change) {
  if (!*change || change->state() == StateDeleted) return false;
  if (IsUnresolved(*change)) {
    CatalogRecord found = ChangeByReference(journal, change->fileRef());
    if (IsUnresolved(found)) {
      change->set_version(found.version());  // the latest failure
      return false;
    }
    // Found (a change, a deletion), or existing without a path: empty.
    *change = std::move(found);
    return true;
  }
  if (change->length() < kChangeRecordSize) {
    // A change listing several names (or a short one): back to the plain
    // form with room for any path; the names are gathered again.
    CatalogRecord plain = CatalogRecord::Allocate(kChangeRecordSize);
    std::memcpy(plain.data(), change->data(), kRecordHeaderSize);
    record::SetLength(plain.data(), kChangeRecordSize);
    std::string_view name = change->nameView();
    std::memcpy(plain.mutable_name(), name.data(), name.size());
    *change = std::move(plain);
  }
  EntryHandle entry;
  Status opened = journal.OpenEntry(change->fileRef(), &entry);
  if (opened.IsNotFound()) {
    *change = MakeDeleteChange(change->fileRef(), change->parentRef());
    return true;
  }
  if (!opened.ok()) {
    *change = MakeUnresolvedChange(change->fileRef(), change->parentRef(),
                                   opened.error());
    return true;
  }
  std::string path;
  uint64_t parent = 0;
  Status located = journal.FindPath(entry, &path, &parent);
  if (!located.ok() && !located.IsNotFound()) {
    *change = MakeUnresolvedChange(change->fileRef(), change->parentRef(),
                                   located.error());
    return true;
  }
  if (!located.ok()) return false;
  change->GrowTo(static_cast<int32_t>(kNameOffset + path.size() + 1));
  const size_t room = static_cast<size_t>(change->length() - kNameOffset);
  bool moved = change->nameView() != path ||
               (parent != 0 && parent != change->parentRef());
  std::memset(change->mutable_name(), 0, room);
  std::memcpy(change->mutable_name(), path.c_str(), path.size() + 1);
  if (parent != 0) change->set_parentRef(parent);
  EntryAttributes attributes;
  if (journal.Attributes(entry, &attributes)) {
    if (change->state() != StateDirectory) {
      change->set_fileSize(attributes.fileSize);
      change->set_creationTime(attributes.creationTime);
      change->set_lastWriteTime(attributes.lastWriteTime);
    }
    WriteExtras(*change, ExtrasForMode(attributes.mode));
  }
  return moved;
}

CatalogRecord CloneRecord(const CatalogRecord& record) {
  CatalogRecord copy = CatalogRecord::Allocate(record.length());
  std::memcpy(copy.data(), record.data(), static_cast<size_t>(record.length()));
  return copy;
}

std::string JoinPath(const std::string& path, const std::string& name) {
  std::string joined;
  JoinPathInto(path, name, &joined);
  return joined;
}

void JoinPathInto(const std::string& path, const std::string& name, std::string* out) {
  if (name.find('\\') != std::string::npos) {
    out->assign("\\\\?\\/").append(name);
  } else if (path.empty()) {
    out->assign(name);
  } else {
    out->assign(path).append(1, '\\').append(name);
  }
}

const std::string& DirectoryPath(VolumeScan& scan, VolumeJournal& journal,
                                 uint64_t dirRef, DirNode& node) {
  if (!node.path.empty()) return node.path;
  // Walk up to the first directory whose path is known or has no parent in
  // the scan, then form the paths on the way back down.
  std::vector<DirNode*> chain;
  std::unordered_set<uint64_t> seen;
  uint64_t ref = dirRef;
  DirNode* current = &node;
  while (current->path.empty()) {
    bool cycle = !seen.insert(ref).second;
    if (cycle) {
      // A directory recorded as its own ancestor: cut the circle here and
      // let this directory stand on its own.
      LogPrint("%D directory cycle at %L: %s\n", static_cast<int64_t>(ref),
               current->name.c_str());
      while (!chain.empty() && chain.back() != current) chain.pop_back();
      if (!chain.empty()) chain.pop_back();
    } else {
      auto parent = scan.dirNodes.find(current->parentRef);
      if (parent != scan.dirNodes.end()) {
        chain.push_back(current);
        current->parent = &parent->second;
        ref = current->parentRef;
        current = &parent->second;
        continue;
      }
    }
    // Not below any directory the scan saw: its own path, else its name.
    std::string own;
    EntryHandle entry;
    Status found = journal.OpenEntry(ref, &entry);
    if (found.ok()) found = journal.FindPath(entry, &own);
    if (!found.ok() && !found.IsNotFound()) scan.incomplete = true;
    if (!found.ok() || own.empty()) own = current->name;
    current->path = std::move(own);
    break;  // (a nameless directory may still have an empty path)
  }
  std::string base = current->path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    DirNode* n = *it;
    n->path = JoinPath(base, n->name);
    base = n->path;
  }
  return node.path;
}

}  // namespace dirsync
