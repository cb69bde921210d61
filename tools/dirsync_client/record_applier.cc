#include "record_applier.h"

#include <algorithm>
#include <filesystem>
#include <unordered_set>

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
  for (const auto& [ref, entry] : state_.entries) {
    std::string local = LocalName(entry.name);
    if (!local.empty()) owners_[local] = ref;
  }
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
  std::string error;
  bool sameContent = false;
  auto it = state_.entries.find(r.fileRef);
  if (it != state_.entries.end() && it->second.directory) {
    // A reference that named a directory now names a file: the directory
    // it named is gone from the catalog.
    RemoveHeld(r.fileRef);
  } else if (it != state_.entries.end()) {
    const MirrorEntry& known = it->second;
    std::string knownLocal = LocalName(known.name);
    auto owner = owners_.find(knownLocal);
    bool ours = owner != owners_.end() && owner->second == r.fileRef;
    if (knownLocal != local && ours) {
      owners_.erase(owner);
      if (tree_.KindOf(knownLocal) == LocalTree::Kind::kFile) {
        ReleaseName(local, r.fileRef);
        if (tree_.Move(knownLocal, local, &error)) {
          RemoveEmptyParents(knownLocal);
        } else {
          Log("%s", error.c_str());
        }
      }
    }
    sameContent = ours && !known.needsDownload && known.size == r.fileSize &&
                  known.lastWriteTime == r.lastWriteTime;
  }
  ReleaseName(local, r.fileRef);

  MirrorEntry entry;
  entry.name = r.name;
  entry.parentRef = r.parentRef;
  entry.version = r.version;
  entry.size = r.fileSize;
  entry.lastWriteTime = r.lastWriteTime;
  entry.needsDownload =
      !sameContent || tree_.KindOf(local) != LocalTree::Kind::kFile;
  if (!entry.needsDownload) tree_.SetModificationTime(local, r.lastWriteTime);
  Claim(r.fileRef, entry);
}

void RecordApplier::ApplyDirectory(const StoreRecord& r, const std::string& local) {
  std::string error;
  auto it = state_.entries.find(r.fileRef);
  if (it != state_.entries.end() && !it->second.directory) {
    RemoveHeld(r.fileRef);  // a reused reference: its file is gone
  } else if (it != state_.entries.end()) {
    std::string knownName = it->second.name;
    std::string knownLocal = LocalName(knownName);
    auto owner = owners_.find(knownLocal);
    bool ours = owner != owners_.end() && owner->second == r.fileRef;
    if (knownLocal != local && ours) {
      owners_.erase(owner);
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
  MirrorEntry entry;
  entry.directory = true;
  entry.name = r.name;
  entry.parentRef = r.parentRef;
  entry.version = r.version;
  Claim(r.fileRef, entry);
}

void RecordApplier::ApplyDeletion(const StoreRecord& r) { RemoveHeld(r.fileRef); }

void RecordApplier::RemoveHeld(uint64_t fileRef) {
  auto it = state_.entries.find(fileRef);
  if (it == state_.entries.end()) return;  // never held: nothing to remove
  if (it->second.directory) {
    RemoveHeldDirectory(fileRef);
    return;
  }
  std::string knownLocal = LocalName(it->second.name);
  bool ours = Owns(knownLocal, fileRef);
  std::string error;
  if (ours && !tree_.RemoveFile(knownLocal, &error)) Log("%s", error.c_str());
  Forget(fileRef);
  if (ours) RemoveEmptyParents(knownLocal);
}

std::set<uint64_t> RecordApplier::HeldSubtree(uint64_t directoryRef) const {
  std::string directoryLocal = LocalName(state_.entries.at(directoryRef).name);
  std::set<uint64_t> subtree{directoryRef};
  std::unordered_map<uint64_t, std::vector<uint64_t>> children;
  for (const auto& [ref, entry] : state_.entries) {
    if (entry.parentRef != 0) {
      children[entry.parentRef].push_back(ref);
    } else if (ref != directoryRef && !directoryLocal.empty() &&
               IsBelow(LocalName(entry.name), directoryLocal)) {
      subtree.insert(ref);  // parent unknown: judged by the path it has
    }
  }
  std::vector<uint64_t> open(subtree.begin(), subtree.end());
  while (!open.empty()) {
    uint64_t parent = open.back();
    open.pop_back();
    auto found = children.find(parent);
    if (found == children.end()) continue;
    for (uint64_t child : found->second) {
      if (subtree.insert(child).second) open.push_back(child);  // each once
    }
  }
  return subtree;
}

void RecordApplier::RemoveHeldDirectory(uint64_t directoryRef) {
  // Each entry held below the directory (by parent reference, whatever
  // path it has now) goes; the files of its place go with it, except
  // those of entries held there under another parent: a newer entry that
  // lives at a path below the directory's old one is still live.
  std::set<uint64_t> subtree = HeldSubtree(directoryRef);
  std::vector<std::string> directories;  // places of the subtree's directories
  std::string error;
  for (uint64_t ref : subtree) {
    const MirrorEntry& entry = state_.entries.at(ref);
    std::string local = LocalName(entry.name);
    if (!Owns(local, ref)) continue;
    if (entry.directory) {
      directories.push_back(local);
    } else if (tree_.RemoveFile(local, &error)) {
      RemoveEmptyParents(local);
    } else {
      Log("%s", error.c_str());
    }
  }
  for (uint64_t ref : subtree) Forget(ref);

  // Whatever the mirror still holds below those places stays, with the
  // directories that lead to it.
  std::unordered_set<std::string> kept;
  std::unordered_set<std::string> leading;
  for (const auto& [local, ref] : owners_) {
    for (const std::string& directory : directories) {
      if (!IsBelow(local, directory)) continue;
      kept.insert(local);
      for (std::string up = ParentOf(local); IsBelow(up, directory); up = ParentOf(up)) {
        leading.insert(up);
      }
      break;
    }
  }
  auto keep = [&](const std::string& path) {
    if (kept.count(path) != 0) return LocalTree::Keep::kKeep;
    if (leading.count(path) != 0) return LocalTree::Keep::kDescend;
    return LocalTree::Keep::kRemove;
  };
  // Deepest first, so that a directory emptied below is gone before its
  // parent is looked at.
  std::sort(directories.begin(), directories.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& directory : directories) {
    if (!tree_.RemoveTreeExcept(directory, keep, &error)) Log("%s", error.c_str());
    RemoveEmptyParents(directory);
  }
}

bool RecordApplier::Owns(const std::string& local, uint64_t fileRef) const {
  auto owner = owners_.find(local);
  return !local.empty() && owner != owners_.end() && owner->second == fileRef;
}

void RecordApplier::ReleaseName(const std::string& local, uint64_t keeper) {
  auto owner = owners_.find(local);
  if (owner == owners_.end() || owner->second == keeper) return;
  state_.entries.erase(owner->second);
  owners_.erase(owner);
}

void RecordApplier::Forget(uint64_t fileRef) {
  auto it = state_.entries.find(fileRef);
  if (it == state_.entries.end()) return;
  auto owner = owners_.find(LocalName(it->second.name));
  if (owner != owners_.end() && owner->second == fileRef) owners_.erase(owner);
  state_.entries.erase(it);
}

void RecordApplier::RenameBelow(const std::string& oldLocal,
                                const std::string& newLocal) {
  for (auto& [ref, entry] : state_.entries) {
    std::string local = LocalName(entry.name);
    if (!IsBelow(local, oldLocal)) continue;
    // Local paths map the catalog's character for character, so the tail
    // of the catalog name starts where the old prefix ends.
    std::string tail = entry.name.substr(oldLocal.size());
    std::string movedLocal = newLocal + local.substr(oldLocal.size());
    auto owner = owners_.find(local);
    if (owner != owners_.end() && owner->second == ref) owners_.erase(owner);
    std::string newName = newLocal;
    for (char& c : newName) {
      if (c == '/') c = '\\';
    }
    entry.name = newName + tail;
    owners_[movedLocal] = ref;
  }
}

void RecordApplier::Claim(uint64_t fileRef, const MirrorEntry& entry) {
  state_.entries[fileRef] = entry;
  std::string local = LocalName(entry.name);
  if (!local.empty()) owners_[local] = fileRef;
}

bool RecordApplier::IsLiveDirectory(const std::string& localRelative) const {
  auto owner = owners_.find(localRelative);
  if (owner == owners_.end()) return false;
  auto it = state_.entries.find(owner->second);
  return it != state_.entries.end() && it->second.directory;
}

void RecordApplier::RemoveEmptyParents(const std::string& localRelative) {
  tree_.RemoveEmptyParents(localRelative, [this](const std::string& parent) {
    return IsLiveDirectory(parent);
  });
}

bool RecordApplier::StartOver(uint32_t newStoreId, std::string* error) {
  if (!tree_.ClearAllBut(kStateDirName, error)) return false;
  state_.Reset(newStoreId);
  owners_.clear();
  return true;
}

std::vector<uint64_t> RecordApplier::PendingDownloads() const {
  std::vector<uint64_t> refs;
  for (const auto& [ref, entry] : state_.entries) {
    if (!entry.directory && entry.needsDownload && !entry.waiting) refs.push_back(ref);
  }
  return refs;
}

uint64_t RecordApplier::PendingBytes() const {
  uint64_t bytes = 0;
  for (const auto& [ref, entry] : state_.entries) {
    if (!entry.directory && entry.needsDownload && !entry.waiting) bytes += entry.size;
  }
  return bytes;
}

size_t RecordApplier::WaitingCount() const {
  size_t count = 0;
  for (const auto& [ref, entry] : state_.entries) {
    if (entry.needsDownload && entry.waiting) ++count;
  }
  return count;
}

void RecordApplier::MarkDownloaded(uint64_t fileRef) {
  auto it = state_.entries.find(fileRef);
  if (it == state_.entries.end()) return;
  it->second.needsDownload = false;
  it->second.waiting = false;
}

void RecordApplier::MarkWaiting(uint64_t fileRef) {
  auto it = state_.entries.find(fileRef);
  if (it != state_.entries.end()) it->second.waiting = true;
}

}  // namespace dsclient_tool
