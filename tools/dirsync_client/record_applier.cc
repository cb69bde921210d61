#include "record_applier.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <unordered_set>
#include <utility>

#include "client_log.h"
#include "local_path.h"
#include "printable.h"

namespace dsclient_tool {

using dsclient::RecordState;
using dsclient::StoreRecord;
namespace fs = std::filesystem;

std::string LocalName(const std::string& catalogName) {
  std::string local;
  std::string why;
  if (!ToLocalRelative(catalogName, &local, &why)) return {};
  return local;
}

namespace {

bool IsBelow(const std::string& path, const std::string& directory) {
  return path.size() > directory.size() + 1 &&
         path.compare(0, directory.size(), directory) == 0 &&
         path[directory.size()] == '/';
}

}  // namespace

RecordApplier::RecordApplier(LocalTree& tree, MirrorState& state)
    : tree_(tree), state_(state) {
  Reindex();
}

void RecordApplier::Reindex() {
  owners_.clear();
  children_.clear();
  unknownParent_.clear();
  pending_.clear();
  pendingBytes_ = 0;
  waiting_ = 0;
  for (const auto& [ref, entry] : state_.entries()) Index(ref, entry);
}

void RecordApplier::Index(uint64_t ref, const MirrorEntry& entry) {
  std::string local = LocalName(entry.name);
  if (!local.empty()) owners_[local] = ref;
  if (entry.parentRef != 0) {
    children_[entry.parentRef].insert(ref);
  } else {
    unknownParent_.insert(ref);
  }
  if (!entry.directory && entry.needsDownload) {
    if (entry.waiting) {
      ++waiting_;
    } else {
      pending_.insert(ref);
      pendingBytes_ += entry.size;
    }
  }
}

void RecordApplier::Unindex(uint64_t ref, const MirrorEntry& entry) {
  auto owner = owners_.find(LocalName(entry.name));
  if (owner != owners_.end() && owner->second == ref) owners_.erase(owner);
  if (entry.parentRef != 0) {
    auto siblings = children_.find(entry.parentRef);
    if (siblings != children_.end()) {
      siblings->second.erase(ref);
      if (siblings->second.empty()) children_.erase(siblings);
    }
  } else {
    unknownParent_.erase(ref);
  }
  if (!entry.directory && entry.needsDownload) {
    if (entry.waiting) {
      --waiting_;
    } else {
      pending_.erase(ref);
      pendingBytes_ -= entry.size;
    }
  }
}

void RecordApplier::Put(uint64_t ref, const MirrorEntry& entry) {
  if (const MirrorEntry* old = state_.Find(ref)) Unindex(ref, *old);
  state_.Put(ref, entry);
  Index(ref, entry);
}

void RecordApplier::Forget(uint64_t ref) {
  const MirrorEntry* old = state_.Find(ref);
  if (old == nullptr) return;
  Unindex(ref, *old);
  state_.Erase(ref);
}

void RecordApplier::Apply(const StoreRecord& r) {
  switch (r.kind()) {
    case RecordState::kFiller:
    case RecordState::kHeader:
    case RecordState::kStale:
      return;
    case RecordState::kDeleted:
    case RecordState::kDirLeft:
      ApplyDeletion(r);
      return;
    case RecordState::kAdded:
    case RecordState::kUpdated:
    case RecordState::kRenamed:
    case RecordState::kDirectory:
      break;
    default:
      Log("record at %lld has an unknown state %d; passed over",
          static_cast<long long>(r.offset), r.state);
      return;
  }
  if (r.notCarried) {
    // No path here could hold it, and the server cannot open it: whatever
    // the reference held before (a place it moved from) is gone.
    RemoveHeld(r.fileRef);
    if (notCarried_.insert(r.fileRef).second) {
      Log("not mirrored (path longer than the system allows): %s...",
          Printable(r.name.substr(0, kReportedPathBytes)).c_str());
    }
    return;
  }
  std::string local;
  std::string why;
  if (!ToLocalRelative(r.name, &local, &why)) {
    ++refused_;
    Log("refused record at %lld (%s '%s'): %s", static_cast<long long>(r.offset),
        dsclient::RecordStateName(r.state), Printable(r.name).c_str(), why.c_str());
    return;
  }
  if (r.kind() == RecordState::kDirectory) {
    ApplyDirectory(r, local);
  } else {
    ApplyFile(r, local);
  }
}

void RecordApplier::ApplyFile(const StoreRecord& r, const std::string& local) {
  if (r.isSpecial()) {
    // A FIFO, socket or device: nothing a mirror holds. Whatever the
    // reference held before is gone from the catalog.
    RemoveHeld(r.fileRef);
    if (skippedSpecial_.insert(r.fileRef).second) {
      Log("%s is a FIFO, socket or device; skipped", Printable(r.name).c_str());
    }
    return;
  }
  const bool link = r.isLink();
  const LocalTree::Kind kind = link ? LocalTree::Kind::kLink : LocalTree::Kind::kFile;
  std::string error;
  bool sameContent = false;
  uint32_t heldMode = 0;
  const MirrorEntry* held = state_.Find(r.fileRef);
  if (held != nullptr && held->directory) {
    // A reference that named a directory now names a file: the directory
    // it named is gone from the catalog.
    RemoveHeld(r.fileRef);
  } else if (held != nullptr) {
    const MirrorEntry known = *held;
    std::string knownLocal = LocalName(known.name);
    bool ours = Owns(knownLocal, r.fileRef);
    if (knownLocal != local && ours) {
      owners_.erase(knownLocal);
      LocalTree::Kind there = tree_.KindOf(knownLocal);
      if (there == LocalTree::Kind::kFile || there == LocalTree::Kind::kLink) {
        ReleaseName(local, r.fileRef);
        if (tree_.Move(knownLocal, local, &error)) {
          RemoveEmptyParents(knownLocal);
        } else {
          Log("%s", error.c_str());
        }
      }
    }
    sameContent = ours && !known.needsDownload && known.size == r.fileSize &&
                  known.lastWriteTime == r.lastWriteTime && known.link() == link;
    heldMode = known.mode;
  }
  ReleaseName(local, r.fileRef);

  MirrorEntry entry;
  entry.name = r.name;
  entry.parentRef = r.parentRef;
  entry.version = r.version;
  entry.size = r.fileSize;
  entry.lastWriteTime = r.lastWriteTime;
  entry.mode = r.hasAttributes ? r.mode : 0;
  entry.needsDownload = !sameContent || tree_.KindOf(local) != kind;
  if (!entry.needsDownload) {
    tree_.SetModificationTime(local, r.lastWriteTime);
    // A change of permissions alone (chmod) needs no download.
    if (!link && r.hasAttributes && r.mode != heldMode &&
        !tree_.SetPermissions(local, r.mode)) {
      Log("cannot set the permissions of %s", tree_.Full(local).c_str());
    }
  }
  Put(r.fileRef, entry);
}

void RecordApplier::ApplyDirectory(const StoreRecord& r, const std::string& local) {
  std::string error;
  const MirrorEntry* held = state_.Find(r.fileRef);
  if (held != nullptr && !held->directory) {
    RemoveHeld(r.fileRef);  // a reused reference: its file is gone
  } else if (held != nullptr) {
    std::string knownLocal = LocalName(held->name);
    bool ours = Owns(knownLocal, r.fileRef);
    if (knownLocal != local && ours) {
      owners_.erase(knownLocal);
      ReleaseName(local, r.fileRef);
      // A directory cannot move into itself or over its own ancestor; a
      // record that says so is followed in the index only.
      bool nested = IsBelow(local, knownLocal) || IsBelow(knownLocal, local);
      if (!nested && tree_.KindOf(knownLocal) == LocalTree::Kind::kDirectory &&
          tree_.AncestorsAreDirectories(knownLocal)) {
        if (tree_.KindOf(local) != LocalTree::Kind::kDirectory) {
          if (!tree_.Move(knownLocal, local, &error)) Log("%s", error.c_str());
        } else {
          // The new place exists already (entries below it came first):
          // bring over what is not there yet.
          std::error_code ec;
          for (const auto& child : fs::directory_iterator(tree_.Full(knownLocal), ec)) {
            std::string name = child.path().filename().string();
            if (tree_.KindOf(local + "/" + name) == LocalTree::Kind::kMissing &&
                !tree_.Move(knownLocal + "/" + name, local + "/" + name, &error)) {
              Log("%s", error.c_str());
            }
          }
          if (!tree_.RemoveTree(knownLocal, &error)) Log("%s", error.c_str());
        }
        RemoveEmptyParents(knownLocal);
      }
      RenameBelow(knownLocal, local);
    }
  }
  ReleaseName(local, r.fileRef);
  if (!tree_.MakeDirectory(local, &error)) Log("%s", error.c_str());
  // The tree's permissions for group and others; the owner (this client)
  // keeps full access, so that what lies below can still be written.
  if (r.hasAttributes &&
      !tree_.SetDirectoryPermissions(local, (r.mode & 0777) | 0700)) {
    Log("cannot set the permissions of %s", tree_.Full(local).c_str());
  }
  MirrorEntry entry;
  entry.directory = true;
  entry.name = r.name;
  entry.parentRef = r.parentRef;
  entry.version = r.version;
  entry.mode = r.hasAttributes ? r.mode : 0;
  Put(r.fileRef, entry);
}

void RecordApplier::ApplyDeletion(const StoreRecord& r) { RemoveHeld(r.fileRef); }

void RecordApplier::RemoveHeld(uint64_t fileRef) {
  const MirrorEntry* held = state_.Find(fileRef);
  if (held == nullptr) return;  // never held: nothing to remove
  if (held->directory) {
    RemoveHeldDirectory(fileRef);
    return;
  }
  std::string knownLocal = LocalName(held->name);
  bool ours = Owns(knownLocal, fileRef);
  std::string error;
  if (ours && !tree_.RemoveFile(knownLocal, &error)) Log("%s", error.c_str());
  Forget(fileRef);
  if (ours) RemoveEmptyParents(knownLocal);
}

std::vector<uint64_t> RecordApplier::HeldSubtree(uint64_t directoryRef) const {
  std::string directoryLocal = LocalName(state_.Find(directoryRef)->name);
  std::vector<uint64_t> subtree{directoryRef};
  std::unordered_set<uint64_t> seen{directoryRef};
  // Parent unknown: judged by the path it has.
  if (!directoryLocal.empty()) {
    for (uint64_t ref : unknownParent_) {
      if (IsBelow(LocalName(state_.Find(ref)->name), directoryLocal) &&
          seen.insert(ref).second) {
        subtree.push_back(ref);
      }
    }
  }
  for (size_t next = 0; next < subtree.size(); ++next) {
    auto found = children_.find(subtree[next]);
    if (found == children_.end()) continue;
    for (uint64_t child : found->second) {
      if (seen.insert(child).second) subtree.push_back(child);  // each once
    }
  }
  return subtree;
}

std::vector<uint64_t> RecordApplier::HeldBelowPath(const std::string& local) const {
  std::vector<uint64_t> refs;
  // Paths below "a" are those from "a/" up to (not including) "a0".
  for (auto it = owners_.lower_bound(local + "/");
       it != owners_.end() && it->first.compare(0, local.size() + 1, local + "/") == 0;
       ++it) {
    refs.push_back(it->second);
  }
  return refs;
}

void RecordApplier::RemoveHeldDirectory(uint64_t directoryRef) {
  // Each entry held below the directory (by parent reference, whatever
  // path it has now) goes; the files of its place go with it, except
  // those of entries held there under another parent: a newer entry that
  // lives at a path below the directory's old one is still live.
  std::vector<uint64_t> subtree = HeldSubtree(directoryRef);
  std::vector<std::string> directories;  // places of the subtree's directories
  std::vector<std::string> files;
  for (uint64_t ref : subtree) {
    const MirrorEntry& entry = *state_.Find(ref);
    std::string local = LocalName(entry.name);
    if (!Owns(local, ref)) continue;
    (entry.directory ? directories : files).push_back(std::move(local));
  }
  for (uint64_t ref : subtree) Forget(ref);

  // The outermost places: each removed with what lies below it at once.
  std::sort(directories.begin(), directories.end());
  std::vector<std::string> tops;
  for (const std::string& directory : directories) {
    if (tops.empty() || !IsBelow(directory, tops.back())) tops.push_back(directory);
  }
  std::unordered_set<std::string> topSet(tops.begin(), tops.end());
  std::string error;
  for (const std::string& file : files) {
    bool inTop = false;
    for (std::string up = ParentOf(file); !up.empty() && !inTop; up = ParentOf(up)) {
      inTop = topSet.count(up) != 0;
    }
    if (inTop) continue;  // goes with its directory
    if (tree_.RemoveFile(file, &error)) {
      RemoveEmptyParents(file);
    } else {
      Log("%s", error.c_str());
    }
  }
  for (const std::string& top : tops) {
    // Whatever the mirror still holds below the place stays, with the
    // directories that lead to it.
    std::unordered_set<std::string> kept;
    std::unordered_set<std::string> leading;
    for (uint64_t ref : HeldBelowPath(top)) {
      std::string local = LocalName(state_.Find(ref)->name);
      kept.insert(local);
      for (std::string up = ParentOf(local); IsBelow(up, top); up = ParentOf(up)) {
        if (!leading.insert(up).second) break;  // the rest is in already
      }
    }
    bool removed = kept.empty() ? tree_.RemoveTree(top, &error)
                                : tree_.RemoveTreeExcept(
                                      top,
                                      [&](const std::string& path) {
                                        if (kept.count(path) != 0) return LocalTree::Keep::kKeep;
                                        if (leading.count(path) != 0) {
                                          return LocalTree::Keep::kDescend;
                                        }
                                        return LocalTree::Keep::kRemove;
                                      },
                                      &error);
    if (!removed) Log("%s", error.c_str());
    RemoveEmptyParents(top);
  }
}

bool RecordApplier::Owns(const std::string& local, uint64_t fileRef) const {
  auto owner = owners_.find(local);
  return !local.empty() && owner != owners_.end() && owner->second == fileRef;
}

void RecordApplier::ReleaseName(const std::string& local, uint64_t keeper) {
  auto owner = owners_.find(local);
  if (owner == owners_.end() || owner->second == keeper) return;
  uint64_t other = owner->second;
  owners_.erase(owner);
  Forget(other);
}

void RecordApplier::RenameBelow(const std::string& oldLocal,
                                const std::string& newLocal) {
  // Taken out of the indexes first and put back under their new paths
  // after, so that a path both left and taken in this move is no conflict.
  std::vector<uint64_t> moved = HeldBelowPath(oldLocal);
  std::string newName = newLocal;
  for (char& c : newName) {
    if (c == '/') c = '\\';
  }
  std::vector<std::pair<uint64_t, MirrorEntry>> renamed;
  for (uint64_t ref : moved) {
    MirrorEntry entry = *state_.Find(ref);
    Unindex(ref, entry);
    // Local paths map the catalog's character for character, so the tail
    // of the catalog name starts where the old prefix ends.
    entry.name = newName + entry.name.substr(oldLocal.size());
    renamed.emplace_back(ref, std::move(entry));
  }
  for (auto& [ref, entry] : renamed) {
    ReleaseName(LocalName(entry.name), ref);
    state_.Put(ref, entry);
    Index(ref, entry);
  }
}

bool RecordApplier::IsLiveDirectory(const std::string& localRelative) const {
  auto owner = owners_.find(localRelative);
  if (owner == owners_.end()) return false;
  const MirrorEntry* entry = state_.Find(owner->second);
  return entry != nullptr && entry->directory;
}

void RecordApplier::RemoveEmptyParents(const std::string& localRelative) {
  tree_.RemoveEmptyParents(localRelative, [this](const std::string& parent) {
    return IsLiveDirectory(parent);
  });
}

size_t RecordApplier::RemoveUnlisted(const std::unordered_set<uint64_t>& listed) {
  std::vector<uint64_t> files;
  std::vector<std::pair<size_t, uint64_t>> directories;  // (depth, ref)
  for (const auto& [ref, entry] : state_.entries()) {
    if (listed.count(ref) != 0) continue;
    if (entry.directory) {
      directories.emplace_back(
          static_cast<size_t>(std::count(entry.name.begin(), entry.name.end(), '\\')),
          ref);
    } else {
      files.push_back(ref);
    }
  }
  size_t removed = 0;
  for (uint64_t ref : files) {
    RemoveHeld(ref);
    ++removed;
  }
  std::sort(directories.begin(), directories.end(), std::greater<>());
  for (const auto& [depth, ref] : directories) {
    if (state_.Find(ref) == nullptr) continue;  // went with a parent
    bool holdsListed = false;
    for (uint64_t below : HeldSubtree(ref)) {
      if (listed.count(below) != 0) holdsListed = true;
    }
    if (holdsListed) {
      Log("directory '%s' is not in the server's store but holds entries that "
          "are; kept", Printable(state_.Find(ref)->name).c_str());
      continue;
    }
    RemoveHeld(ref);
    ++removed;
  }
  return removed;
}

bool RecordApplier::StartOver(uint32_t newStoreId, std::string* error) {
  if (!tree_.ClearAllBut(kStateDirName, error)) return false;
  state_.Reset(newStoreId);
  Reindex();
  return true;
}

std::vector<uint64_t> RecordApplier::PendingDownloads() const {
  std::vector<uint64_t> refs(pending_.begin(), pending_.end());
  std::sort(refs.begin(), refs.end());
  return refs;
}

uint64_t RecordApplier::PendingBytes() const { return pendingBytes_; }

size_t RecordApplier::WaitingCount() const { return waiting_; }

void RecordApplier::SetDownloadFlags(uint64_t fileRef, bool needsDownload, bool waiting) {
  // Name and parent stay: only the set of files waiting for content moves.
  MirrorEntry* entry = state_.Edit(fileRef);
  if (entry == nullptr || entry->directory) return;
  if (entry->needsDownload) {
    if (entry->waiting) {
      --waiting_;
    } else {
      pending_.erase(fileRef);
      pendingBytes_ -= entry->size;
    }
  }
  entry->needsDownload = needsDownload;
  entry->waiting = waiting;
  if (needsDownload) {
    if (waiting) {
      ++waiting_;
    } else {
      pending_.insert(fileRef);
      pendingBytes_ += entry->size;
    }
  }
}

void RecordApplier::MarkDownloaded(uint64_t fileRef) { SetDownloadFlags(fileRef, false, false); }

void RecordApplier::MarkWaiting(uint64_t fileRef) {
  const MirrorEntry* held = state_.Find(fileRef);
  if (held != nullptr) SetDownloadFlags(fileRef, held->needsDownload, true);
}

}  // namespace dsclient_tool
