// Brings along, for the directories that an application of changes
// touches, the entries below them.
//
//  - A directory that enters a task's root (moved in, or out of an
//    excluded place) is reported by the journal as one change of the
//    directory alone; the entries below it are walked and reported as if
//    created in place.
//  - A directory the catalog knows that moves, leaves or comes back takes
//    its subtree along by path arithmetic, which is only as good as the
//    recorded paths below it; while the tree changes under a batch those
//    can drift. So every entry the catalog holds below such a directory (by
//    the directory index and by path) is resolved again by its reference,
//    and whatever no longer matches is corrected by a change of its own. A
//    departed directory found back in a root that way is walked like one
//    that enters it.
//
// An entry below such a directory that cannot be looked up now is
// collected unresolved: Expand leaves it out and the caller holds it back
// (TakeUnresolved); a walk below a directory that could not see
// everything names the directory (IncompleteWalks), whose own change the
// caller holds back so that the walk is made again.
//
// One expander serves one application (a batch, or one change of a
// start-up catch-up). Used by the applying thread, which is the only one
// that changes the catalogs; it takes the tasks' catalogLock shared.
#ifndef DIRSYNC_TRACKING_SUBTREE_EXPANDER_H_
#define DIRSYNC_TRACKING_SUBTREE_EXPANDER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/catalog_record.h"
#include "catalog/sync_task.h"
#include "journal/volume_journal.h"
#include "tracking/link_names.h"

namespace dirsync {

// Whether change brings a directory into task's root: a directory change
// whose path lies below the root and is not excluded, for a directory the
// catalog does not hold or holds as departed (state 7). Takes the task's
// catalogLock shared.
bool EntersRoot(SyncTask& task, const CatalogRecord& change)
    EXCLUDES(task.catalogLock);

class SubtreeExpander {
 public:
  explicit SubtreeExpander(VolumeJournal* journal) : journal_(journal) {}

  // Collects the changes below the directories that changes touch, for
  // every task of tasks. References in changes are left to their own
  // changes.
  void Prepare(const TaskMap& tasks,
               const std::vector<const CatalogRecord*>& changes);
  // Resolves every collected change again (RefreshChange); returns whether
  // any place changed.
  bool RefreshAll();
  // Appends to *extra a copy of every collected change but the unresolved
  // ones, for task (the application leaves out those that change nothing
  // there).
  void Expand(SyncTask& task, std::vector<CatalogRecord>* extra) const;
  // Lists every name of the files of the collected changes that have
  // several (tracking/link_names.h), with hints as well as the places the
  // walks below directories met. The caller holds the volume's lock.
  void GatherLinkNames(TaskMap& tasks, const LinkHints& hints);
  // Moves the unresolved changes collected into *held.
  void TakeUnresolved(std::unordered_map<uint64_t, CatalogRecord>* held);
  // The directories whose walk below could not see everything.
  const std::unordered_set<uint64_t>& IncompleteWalks() const {
    return incompleteWalks_;
  }

  // Drops the collected changes once applied; their references stay known
  // to Collected.
  void Forget();

  // Whether a change for ref was collected (since this expander began).
  bool Collected(uint64_t ref) const {
    return collected_.count(ref) != 0 || applied_.count(ref) != 0;
  }

 private:
  void WalkBelow(uint64_t dirRef, const std::unordered_set<uint64_t>& skip);
  // Collects the change of ref as it stands now; false when none.
  bool ResolveByReference(uint64_t ref);

  VolumeJournal* journal_;
  std::unordered_map<uint64_t, CatalogRecord> collected_;
  // Places of files with several names that the walks below met.
  LinkHints hints_;
  std::unordered_set<uint64_t> applied_;
  std::unordered_set<uint64_t> incompleteWalks_;
};

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_SUBTREE_EXPANDER_H_
