#include "tracking/subtree_expander.h"

#include <mutex>
#include <shared_mutex>
#include <string_view>

#include "tracking/file_ref_lookup.h"

namespace dirsync {

bool EntersRoot(SyncTask& task, const CatalogRecord& change) {
  if (change.state() != StateDirectory) return false;
  std::string_view path = change.nameView();
  if (!IsBelowRoot(task, path)) return false;
  std::string_view rel = RelativePath(task, path);
  if (rel.empty() || IsExcluded(task, rel)) return false;
  std::shared_lock<std::shared_mutex> lock(task.catalogLock);
  const CatalogRecord* entry = FindEntry(task, change.fileRef());
  return entry == nullptr || entry->state() == StateDirDeleted;
}

void SubtreeExpander::Expand(
    SyncTask& task, const CatalogRecord& change,
    const std::unordered_map<uint64_t, CatalogRecord>* skip,
    std::vector<CatalogRecord>* extra) {
  if (!EntersRoot(task, change)) return;
  std::unordered_set<uint64_t> given;
  for (const CatalogRecord& r : *extra) given.insert(r.fileRef());
  for (const CatalogRecord& below : Below(change.fileRef())) {
    uint64_t ref = below.fileRef();
    if (skip != nullptr && skip->count(ref) != 0) continue;
    if (!given.insert(ref).second) continue;
    extra->push_back(CloneRecord(below));
    expanded_.insert(ref);
  }
}

const std::vector<CatalogRecord>& SubtreeExpander::Below(uint64_t dirRef) {
  auto [it, fresh] = walked_.try_emplace(dirRef);
  if (!fresh) return it->second;
  EnumerationCursor cursor = journal_->EnumerateBelow(dirRef, true);
  JournalBatch batch;
  while (journal_->Enumerate(&cursor, 0, 0, &batch)) {
    for (const JournalRecord& r : batch.records) {
      CatalogRecord change = MakeChange(*journal_, r);
      if (change) it->second.push_back(std::move(change));
    }
  }
  return it->second;
}

}  // namespace dirsync
