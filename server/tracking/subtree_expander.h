// Brings the contents of a directory along when the directory enters a
// task's root. The journal reports a directory moved into the root (or out
// of an excluded place) as one change of the directory alone, and its
// contents would never reach the catalog; for such a directory the
// expander walks the tree below it and makes a change record for each
// entry there, as if it had been created in place.
//
// One expander serves one application (a batch, or a start-up catch-up):
// it walks each directory once and hands out copies of the records to
// every task that needs them. Used by one thread.
#ifndef DIRSYNC_TRACKING_SUBTREE_EXPANDER_H_
#define DIRSYNC_TRACKING_SUBTREE_EXPANDER_H_

#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tracking/catalog_record.h"
#include "tracking/sync_task.h"
#include "tracking/volume_journal.h"

namespace dirsync {

// Whether change brings a directory into task's root: a directory change
// whose path lies below the root and is not excluded, for a directory the
// catalog does not hold or holds as departed (state 7). Takes the task's
// catalogLock shared.
bool EntersRoot(SyncTask& task, const CatalogRecord& change);

class SubtreeExpander {
 public:
  explicit SubtreeExpander(VolumeJournal* journal) : journal_(journal) {}

  // When change enters task's root, appends a change record for every
  // entry below its directory to *extra, except references in skip (their
  // own changes are applied anyway) and ones this call already appended.
  void Expand(SyncTask& task, const CatalogRecord& change,
              const std::unordered_map<uint64_t, CatalogRecord>* skip,
              std::vector<CatalogRecord>* extra);

  // Whether ref was handed out below some directory.
  bool Expanded(uint64_t ref) const { return expanded_.count(ref) != 0; }

 private:
  const std::vector<CatalogRecord>& Below(uint64_t dirRef);

  VolumeJournal* journal_;
  std::unordered_map<uint64_t, std::vector<CatalogRecord>> walked_;
  std::unordered_set<uint64_t> expanded_;
};

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_SUBTREE_EXPANDER_H_
