// The names of files with several names (hard links), for the journal
// monitor. The journal reports a file by its reference with one place; a
// file with several names needs every one of them looked at whenever it
// changes: a name made (ln, cp -al), a name removed or renamed, a write
// through any name.
//
// Before a batch is applied, each file change of a file that a catalog
// holds under further names, or that the journal or a walk saw under
// several names (hints), is turned into a change listing every name of the
// file that still names it (catalog/entry_links.h): the names the catalogs
// hold, the hinted ones and the change's own, each checked against the
// tree. A check that fails for want of resources makes the change
// unresolved, to be tried again, never a lost name.
#ifndef DIRSYNC_TRACKING_LINK_NAMES_H_
#define DIRSYNC_TRACKING_LINK_NAMES_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "catalog/catalog_changes.h"
#include "catalog/sync_task.h"
#include "journal/volume_journal.h"

namespace dirsync {

// File reference -> places (parent reference, name) the journal or a walk
// saw it under while it had more than one name. Unchecked hints.
using LinkHints =
    std::unordered_map<uint64_t, std::vector<std::pair<uint64_t, std::string>>>;

// Notes the places of record as hints when it is a file with several
// names. Runs on the monitor thread under the volume's lock.
void NoteLinkPlaces(const JournalRecord& record, LinkHints* hints);

// Turns the file changes of pending whose files have several names (see
// above) into name-set changes, or into the unresolved form when a check
// failed. Runs under the volume's lock, after the changes were resolved
// again; takes each task's catalogLock shared.
void GatherLinkNames(VolumeJournal& journal, TaskMap& tasks,
                     const LinkHints& hints, PendingChanges* pending);

// Drops the hints of files that no longer wait in pending.
void PruneLinkHints(const PendingChanges& pending, LinkHints* hints);

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_LINK_NAMES_H_
