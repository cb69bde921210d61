// Lookups by file reference number for the journal monitor and the initial
// build: change records built from journal and enumeration records, an
// entry's path, size and times by its reference, and the paths of the
// directories a full scan saw.
#ifndef DIRSYNC_TRACKING_FILE_REF_LOOKUP_H_
#define DIRSYNC_TRACKING_FILE_REF_LOOKUP_H_

#include <cstdint>
#include <string>

#include "catalog/catalog_record.h"
#include "journal/volume_journal.h"
#include "tracking/volume_scan.h"

namespace dirsync {

// A change record of the delete form: 66 bytes, all zero but length,
// fileRef, parentRef and state 255. Thread safe.
CatalogRecord MakeDeleteChange(uint64_t fileRef, uint64_t parentRef);

// The change record of one journal or enumeration record: the delete form
// when its delete bit is set or the entry no longer exists (its deletion
// may never be reported: it may have been removed after it left the
// volume), else the 1,090-byte form (state 6 for a directory, 1
// otherwise) filled with name mode 0. Empty (false) when the entry exists
// but its path cannot be had. Thread safe.
CatalogRecord MakeChange(VolumeJournal& journal, const JournalRecord& source);

// The change that tells where the entry ref is now, or the delete form
// when it no longer exists. Empty when it exists without a path to be had.
// Thread safe.
CatalogRecord ChangeByReference(VolumeJournal& journal, uint64_t ref);

// Fills record from its fileRef. With name mode 0: name = the entry's full
// final path ("\\?\X:\..."), and parentRef = the directory that path lies
// in, so that the two agree. A negative mode leaves name and parent alone.
// For a record not in state 6: fileSize, creationTime, lastWriteTime.
// When the entry cannot be opened the record stays untouched; when its
// path cannot be had, name stays as it was. Thread safe.
void FillFromFileRef(VolumeJournal& journal, CatalogRecord* record,
                     int32_t nameMode);
// The same for an entry already open.
void FillFromEntry(VolumeJournal& journal, const EntryHandle& entry,
                   CatalogRecord* record, int32_t nameMode);

// Resolves a non-delete change again by its reference, as the tree stands
// now: it takes the entry's current path, parent, size and times; an entry
// gone since becomes the delete form. A delete-form change, and one whose
// entry exists without a path to be had, stay as they are. Returns whether
// the change's place changed (path, parent, or gone). Thread safe.
bool RefreshChange(VolumeJournal& journal, CatalogRecord* change);

// An independent copy of a record.
CatalogRecord CloneRecord(const CatalogRecord& record);

// The path of the entry called name in the directory at path. A name that
// holds a backslash cannot be told apart from a path in the catalogs'
// form, so it gives a path below no task's root ("\\?\/" and the name),
// and so does every path below it: such entries stay out of the catalogs.
std::string JoinPath(const std::string& path, const std::string& name);

// The full path of a directory that a full scan saw ("\\?\X:\a\b"): its
// parent's path (from scan.dirNodes, computed once and kept in each
// node) and its own name (JoinPath); a directory whose parent the scan did not see
// resolves by its own reference, or to its name alone when that fails. A
// parent chain that runs in a circle is cut where it closes (logged).
// Runs on the volume's monitor thread, which owns dirNodes.
const std::string& DirectoryPath(VolumeScan& scan, VolumeJournal& journal,
                                 uint64_t dirRef, DirNode& node);

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_FILE_REF_LOOKUP_H_
