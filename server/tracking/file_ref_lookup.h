// Lookups by file reference number for the journal monitor and the initial
// build: change records built from journal and enumeration records, an
// entry's path, size and times by its reference, and the paths of the
// directories a full scan saw.
#ifndef DIRSYNC_TRACKING_FILE_REF_LOOKUP_H_
#define DIRSYNC_TRACKING_FILE_REF_LOOKUP_H_

#include <cerrno>
#include <cstdint>
#include <string>

#include "catalog/catalog_record.h"
#include "journal/volume_journal.h"
#include "tracking/volume_scan.h"

namespace dirsync {

// The state of a pending change whose entry could not be looked up (no
// descriptors, no memory, an I/O error): whether it exists and where is
// not known. It never reaches a catalog: it waits in the volume's pending
// changes and is looked up again (RefreshChange) until the lookup works.
constexpr uint8_t kStateUnresolved = 0xFE;

// A change record of the delete form: 66 bytes, all zero but length,
// fileRef, parentRef and state 255. Thread safe.
CatalogRecord MakeDeleteChange(uint64_t fileRef, uint64_t parentRef);

// The unresolved form: 66 bytes, fileRef, parentRef (a hint, may be 0),
// state kStateUnresolved and the errno of the failed lookup in the version
// field. Thread safe.
CatalogRecord MakeUnresolvedChange(uint64_t fileRef, uint64_t parentRef,
                                   int error);
inline bool IsUnresolved(const CatalogRecord& change) {
  return change && change.state() == kStateUnresolved;
}
// The errno that left an unresolved change unresolved.
inline int UnresolvedError(const CatalogRecord& change) {
  return static_cast<int>(change.version());
}

// Failures that say the process or the system lacks something for now
// (descriptors, memory), not that anything is wrong with what was asked.
inline bool IsResourceShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM ||
         error == ENOBUFS || error == EAGAIN;
}

// The change record of one journal or enumeration record: the delete form
// when its delete bit is set or the entry no longer exists (its deletion
// may never be reported: it may have been removed after it left the
// volume), the unresolved form when the entry cannot be looked up now,
// else the 1,090-byte form (state 6 for a directory, 1 otherwise) filled
// with name mode 0. Empty (false) when the entry exists but its path
// cannot be had. Only proof of absence (ESTALE, ENOENT, no link left)
// makes the delete form. Thread safe.
CatalogRecord MakeChange(VolumeJournal& journal, const JournalRecord& source);

// The change that tells where the entry ref is now, the delete form when
// it no longer exists, or the unresolved form when it cannot be looked up
// now. Empty when it exists without a path to be had. Thread safe.
CatalogRecord ChangeByReference(VolumeJournal& journal, uint64_t ref);

// Fills record from its fileRef. With name mode 0: name = the entry's full
// final path ("\\?\X:\..."), and parentRef = the directory that path lies
// in, so that the two agree. A negative mode leaves name and parent alone.
// For a record not in state 6: fileSize, creationTime, lastWriteTime; for
// every record the entry's type and permissions behind its name
// (record_extension.h).
// When the entry cannot be opened the record stays untouched and the
// open's failure is returned (kNotFound: the entry is gone); when its
// path cannot be had, name stays as it was. Thread safe.
Status FillFromFileRef(VolumeJournal& journal, CatalogRecord* record,
                       int32_t nameMode);
// The same for an entry already open; returns how the path lookup went
// (OK with name mode < 0).
Status FillFromEntry(VolumeJournal& journal, const EntryHandle& entry,
                     CatalogRecord* record, int32_t nameMode);

// Resolves a change again by its reference, as the tree stands now: a
// non-delete change takes the entry's current path, parent, size and
// times; an entry gone since becomes the delete form; one that cannot be
// looked up now becomes the unresolved form. An unresolved change is
// looked up again: it becomes the change of what is found, stays
// unresolved, or becomes empty when the entry exists without a path to be
// had (the caller drops it). A delete-form change, and a non-delete one
// whose entry exists without a path to be had, stay as they are. Returns
// whether the change's place changed (path, parent, form). Thread safe.
bool RefreshChange(VolumeJournal& journal, CatalogRecord* change);

// An independent copy of a record.
CatalogRecord CloneRecord(const CatalogRecord& record);

// The path of the entry called name in the directory at path. A name that
// holds a backslash cannot be told apart from a path in the catalogs'
// form, so it gives a path below no task's root ("\\?\/" and the name),
// and so does every path below it: such entries stay out of the catalogs.
std::string JoinPath(const std::string& path, const std::string& name);
// The same into *out, whose buffer is reused.
void JoinPathInto(const std::string& path, const std::string& name, std::string* out);

// The full path of a directory that a full scan saw ("\\?\X:\a\b"): its
// parent's path (from scan.dirNodes, computed once and kept in each
// node) and its own name (JoinPath); a directory whose parent the scan did
// not see resolves by its own reference, or to its name alone when that
// finds nothing (a lookup that fails instead marks the scan incomplete).
// A parent chain that runs in a circle is cut where it closes (logged).
// Runs on the volume's monitor thread, which owns dirNodes.
const std::string& DirectoryPath(VolumeScan& scan, VolumeJournal& journal,
                                 uint64_t dirRef, DirNode& node);

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_FILE_REF_LOOKUP_H_
