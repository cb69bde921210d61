#include "tracking/subtree_expander.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>
#include <vector>

#include "catalog/catalog_changes.h"
#include "catalog/entry_links.h"
#include "tracking/file_ref_lookup.h"

namespace dirsync {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Whether one of name's ancestors (a prefix ending in a backslash) is in
// prefixes, letters compared without case.
bool HasAncestorIn(std::string_view name,
                   const std::unordered_set<std::string>& prefixes) {
  std::string lower = Lower(name);
  for (size_t at = lower.find('\\'); at != std::string::npos;
       at = lower.find('\\', at + 1)) {
    if (prefixes.count(lower.substr(0, at + 1)) != 0) return true;
  }
  return false;
}

}  // namespace

bool EntersRoot(SyncTask& task, const CatalogRecord& change) {
  if (change.state() != StateDirectory) return false;
  std::string_view path = change.nameView();
  if (!IsBelowRoot(task, path)) return false;
  std::string_view rel = RelativePath(task, path);
  if (rel.empty() || IsExcluded(task, rel)) return false;
  ReaderLock lock(&task.catalogLock);
  const CatalogRecord* entry = FindEntry(task, change.fileRef());
  return entry == nullptr || entry->state() == StateDirDeleted;
}

void SubtreeExpander::Prepare(const TaskMap& tasks,
                              const std::vector<const CatalogRecord*>& changes) {
  std::unordered_set<uint64_t> own;
  for (const CatalogRecord* change : changes) own.insert(change->fileRef());
  std::unordered_set<uint64_t> walk;
  std::unordered_set<uint64_t> below;
  for (const auto& [name, task] : tasks) {
    std::vector<uint64_t> moved;
    std::unordered_set<std::string> prefixes;
    ReaderLock lock(&task->catalogLock);
    for (const CatalogRecord* change : changes) {
      uint8_t state = change->state();
      if (state != StateDirectory && state != StateDeleted) continue;
      const CatalogRecord* entry = FindEntry(*task, change->fileRef());
      if (entry == nullptr || entry->state() == StateDirDeleted) {
        if (entry == nullptr && state == StateDeleted) continue;
        lock.Unlock();
        if (EntersRoot(*task, *change)) walk.insert(change->fileRef());
        lock.Lock();
      }
      if (entry != nullptr && IsDirectoryState(entry->state())) {
        moved.push_back(change->fileRef());
        prefixes.insert(Lower(entry->nameView()) + "\\");
      }
    }
    if (moved.empty()) continue;
    std::unordered_set<uint64_t> subtree;
    for (uint64_t dir : moved) CollectSubtree(*task, dir, subtree);
    for (const auto& [ref, entry] : task->entries) {
      uint8_t state = entry.state();
      bool directory = IsDirectoryState(state);
      if (!directory && !IsLiveFileState(state)) continue;
      // A further name of a file is resolved as the file.
      const uint64_t file = directory ? ref : FileOfEntry(entry);
      if (own.count(file) != 0) continue;
      if (subtree.count(entry.parentRef()) != 0 ||
          (directory && subtree.count(ref) != 0) ||
          HasAncestorIn(entry.nameView(), prefixes)) {
        below.insert(file);
      }
    }
  }
  for (uint64_t dir : walk) WalkBelow(dir, own);
  std::vector<uint64_t> resolved;
  for (uint64_t ref : below) {
    if (collected_.count(ref) == 0 && ResolveByReference(ref)) resolved.push_back(ref);
  }
  // A departed directory found again below a moved one comes back with
  // what is inside it now: it may have gained entries while away, which
  // no change of this application names.
  for (uint64_t ref : resolved) {
    auto found = collected_.find(ref);
    if (found == collected_.end()) continue;
    bool enters = false;
    for (const auto& [name, task] : tasks) {
      enters = enters || EntersRoot(*task, found->second);
    }
    if (enters) WalkBelow(ref, own);
  }
}

void SubtreeExpander::WalkBelow(uint64_t dirRef,
                                const std::unordered_set<uint64_t>& skip) {
  EnumerationCursor cursor = journal_->EnumerateBelow(dirRef, true);
  JournalBatch batch;
  while (journal_->Enumerate(&cursor, 0, 0, &batch)) {
    for (const JournalRecord& r : batch.records) {
      NoteLinkPlaces(r, &hints_);
      if (skip.count(r.fileRef) != 0 || collected_.count(r.fileRef) != 0) continue;
      CatalogRecord change = MakeChange(*journal_, r);
      if (change) collected_.emplace(r.fileRef, std::move(change));
    }
  }
  if (!cursor.complete()) incompleteWalks_.insert(dirRef);
}

void SubtreeExpander::TakeUnresolved(
    std::unordered_map<uint64_t, CatalogRecord>* held) {
  for (auto it = collected_.begin(); it != collected_.end();) {
    if (IsUnresolved(it->second)) {
      held->emplace(it->first, std::move(it->second));
      it = collected_.erase(it);
    } else {
      ++it;
    }
  }
}

bool SubtreeExpander::ResolveByReference(uint64_t ref) {
  CatalogRecord change = ChangeByReference(*journal_, ref);
  if (!change) return false;
  collected_.emplace(ref, std::move(change));
  return true;
}

void SubtreeExpander::Forget() {
  for (const auto& [ref, change] : collected_) applied_.insert(ref);
  collected_.clear();
}

void SubtreeExpander::GatherLinkNames(TaskMap& tasks, const LinkHints& hints) {
  LinkHints merged = hints_;
  for (const auto& [ref, places] : hints) {
    if (collected_.count(ref) == 0) continue;
    std::vector<std::pair<uint64_t, std::string>>& into = merged[ref];
    for (const auto& place : places) {
      if (std::find(into.begin(), into.end(), place) == into.end()) {
        into.push_back(place);
      }
    }
  }
  dirsync::GatherLinkNames(*journal_, tasks, merged, &collected_);
}

bool SubtreeExpander::RefreshAll() {
  bool moved = false;
  for (auto& [ref, change] : collected_) {
    if (RefreshChange(*journal_, &change)) moved = true;
  }
  return moved;
}

void SubtreeExpander::Expand(SyncTask& task,
                             std::vector<CatalogRecord>* extra) const {
  (void)task;  // the application itself leaves out what changes nothing
  for (const auto& [ref, change] : collected_) {
    if (change && !IsUnresolved(change)) extra->push_back(CloneRecord(change));
  }
}

}  // namespace dirsync
