#include "tracking/link_names.h"

#include <algorithm>
#include <string_view>

#include "catalog/entry_links.h"
#include "tracking/file_ref_lookup.h"

namespace dirsync {
namespace {

using Place = std::pair<uint64_t, std::string>;

void AddPlace(std::vector<Place>* places, uint64_t parent, std::string_view name) {
  if (name.empty()) return;
  for (const Place& p : *places) {
    if (p.first == parent && p.second == name) return;
  }
  places->emplace_back(parent, std::string(name));
}

// The last component of a relative path.
std::string_view BaseName(std::string_view rel) {
  size_t slash = rel.rfind('\\');
  return slash == std::string_view::npos ? rel : rel.substr(slash + 1);
}

// The places the catalogs hold for the live names of file ref; *further
// tells whether any of them is a further name.
void CatalogPlaces(TaskMap& tasks, uint64_t ref, std::vector<Place>* places,
                   bool* further) {
  for (auto& [name, task] : tasks) {
    if (!task->storeOpen.load(std::memory_order_acquire)) continue;
    ReaderLock lock(&task->catalogLock);
    for (uint64_t key : KeysOfFile(*task, ref)) {
      const CatalogRecord& entry = task->entries.find(key)->second;
      if (!IsLiveFileState(entry.state())) continue;
      if (key != ref) *further = true;
      AddPlace(places, entry.parentRef(), BaseName(entry.nameView()));
    }
  }
}

// Whether a place the catalog holds for file ref, other than the change's
// own path, still names the file. A lookup that fails for want of
// resources counts as yes: the caller then looks again and holds the
// change back if it fails again.
bool NamedElsewhere(VolumeJournal& journal, uint64_t ref,
                    const CatalogRecord& change, const std::vector<Place>& places) {
  for (const Place& p : places) {
    std::string path;
    Status found = journal.PlaceOfName(ref, p.first, p.second, &path);
    if (found.IsNotFound()) continue;
    if (!found.ok()) return true;
    if (path != change.nameView()) return true;
  }
  return false;
}

}  // namespace

void NoteLinkPlaces(const JournalRecord& record, LinkHints* hints) {
  if (record.directory || record.deleted || record.links < 2) return;
  std::vector<Place>& places = (*hints)[record.fileRef];
  AddPlace(&places, record.parentRef, record.name);
  for (const Place& p : record.otherPlaces) AddPlace(&places, p.first, p.second);
  if (places.empty()) hints->erase(record.fileRef);
}

void GatherLinkNames(VolumeJournal& journal, TaskMap& tasks,
                     const LinkHints& hints, PendingChanges* pending) {
  for (auto& [ref, change] : *pending) {
    if (!change || IsUnresolved(change) || change.state() != StateAdded) continue;
    std::vector<Place> places;
    bool further = false;
    CatalogPlaces(tasks, ref, &places, &further);
    auto hinted = hints.find(ref);
    if (hinted != hints.end()) {
      for (const Place& p : hinted->second) AddPlace(&places, p.first, p.second);
    }
    // A file known under one name, with no other seen: the change as it
    // is tells where that name is now, unless the name the catalog holds
    // still names the file (a link was made to it: a walk reports that
    // without the link count).
    if (!further && hinted == hints.end() &&
        !NamedElsewhere(journal, ref, change, places)) {
      continue;
    }

    std::vector<LinkName> names;
    names.push_back({change.parentRef(), std::string(change.nameView())});
    Status failure;
    for (const Place& p : places) {
      std::string path;
      Status found = journal.PlaceOfName(ref, p.first, p.second, &path);
      if (found.IsNotFound()) continue;  // not a name of the file any more
      if (!found.ok()) {
        failure = found;
        break;
      }
      bool listed = std::any_of(names.begin(), names.end(),
                                [&](const LinkName& n) { return n.path == path; });
      if (!listed) names.push_back({p.first, std::move(path)});
    }
    if (!failure.ok()) {
      change = MakeUnresolvedChange(ref, change.parentRef(), failure.error());
      continue;
    }
    change = MakeNameSetChange(change, names);
  }
}

void PruneLinkHints(const PendingChanges& pending, LinkHints* hints) {
  for (auto it = hints->begin(); it != hints->end();) {
    if (pending.count(it->first) == 0) {
      it = hints->erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace dirsync
