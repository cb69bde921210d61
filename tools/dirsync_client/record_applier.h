// Applies store records, in store order, to the mirror directory and to
// the mirror's state. The state's entries map each file reference to the
// path the mirror holds it under, so every record is judged by what the
// mirror holds for that reference, not by name alone:
//
// - added / updated / renamed file: a file held under another path (a
//   rename, a change of letter case, a move whose record was overtaken)
//   is moved there; its content is marked for download unless size and
//   write time match what the mirror already has (then only permissions
//   the record carries are set). A symbolic link is held as a link (its
//   content is its target text); a FIFO, socket or device is skipped with
//   one line.
// - directory: created (group and others get the permissions the record
//   carries, the owner full access); one held under another path is moved
//   with everything below it, and the paths of the entries below follow.
// - deleted: the file is removed, when the mirror still holds it under
//   that reference.
// - directory deleted or left the root: every entry held below it (by
//   parent reference) is removed and forgotten, and so is what else lies
//   in its place, except the paths of entries held there under another
//   parent (a newer entry that took a path below it).
// - an entry the server marks as not carried (its path is longer than the
//   system allows): reported with one line, never created or downloaded;
//   what the reference held before is removed.
// - stale records (a later version follows), fillers, markers and the
//   header are passed over.
//
// A path may be claimed by only one reference: a record that puts an
// entry where another one was (a file replaced by a rename over it)
// makes the mirror forget the other, so that its later deletion record
// does not remove the new content. Paths that are unsafe are logged and
// skipped.
//
// Every record costs in proportion to what it touches: the applier keeps
// indexes of the state (paths in order, entries by parent, files waiting
// for content), so that a directory's removal or move visits what is
// below it and nothing else. Not thread safe.
#ifndef DIRSYNC_TOOLS_RECORD_APPLIER_H_
#define DIRSYNC_TOOLS_RECORD_APPLIER_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "local_tree.h"
#include "mirror_state.h"
#include "store_record.h"

namespace dsclient_tool {

class RecordApplier {
 public:
  RecordApplier(LocalTree& tree, MirrorState& state);

  // Builds the index of paths again from the state's entries (after the
  // state was loaded).
  void Reindex();

  // Applies one record. Records beyond what the state has applied must
  // come in store order; the caller advances state.position.
  void Apply(const dsclient::StoreRecord& record);

  // Removes every held entry whose reference is not in listed: after the
  // records of a store that replaced the one the mirror followed (which
  // lists every live entry) have been applied, those are the entries that
  // left meanwhile. Files first, then directories, deepest first; a
  // directory that still holds a listed entry below it stays. Returns the
  // number of entries removed.
  size_t RemoveUnlisted(const std::unordered_set<uint64_t>& listed);

  // Forgets everything: clears the mirror directory (all but .dirsync)
  // and starts the state over for store newStoreId. False when the
  // directory could not be cleared.
  bool StartOver(uint32_t newStoreId, std::string* error);

  // References of files whose content must be downloaded and that are
  // not waiting for a newer record, in reference order.
  std::vector<uint64_t> PendingDownloads() const;
  size_t PendingCount() const { return pending_.size(); }
  // Bytes of those files, as the records give their sizes.
  uint64_t PendingBytes() const;
  // Number of files waiting for a newer record after a refused download.
  size_t WaitingCount() const;

  // Records a finished download, or that the server refused it.
  void MarkDownloaded(uint64_t fileRef);
  void MarkWaiting(uint64_t fileRef);

  // Paths refused as unsafe so far (for tests and the summary).
  size_t refusedCount() const { return refused_; }

 private:
  void ApplyFile(const dsclient::StoreRecord& r, const std::string& local);
  void ApplyDirectory(const dsclient::StoreRecord& r, const std::string& local);
  void ApplyDeletion(const dsclient::StoreRecord& r);
  // Removes what the mirror holds for fileRef (a directory with what is
  // held below it) and forgets it.
  void RemoveHeld(uint64_t fileRef);
  void RemoveHeldDirectory(uint64_t directoryRef);
  // directoryRef and every held entry below it by parent reference (an
  // entry whose parent is not known counts by its path).
  std::vector<uint64_t> HeldSubtree(uint64_t directoryRef) const;
  // The mirror holds fileRef at local.
  bool Owns(const std::string& local, uint64_t fileRef) const;

  // Makes the mirror forget whatever other reference claims name.
  void ReleaseName(const std::string& name, uint64_t keeper);
  // Gives the entries below a moved directory their new paths.
  void RenameBelow(const std::string& oldLocal, const std::string& newLocal);
  // Every change of an entry goes through these three, which keep the
  // indexes below in step with the state.
  void Put(uint64_t fileRef, const MirrorEntry& entry);
  void Forget(uint64_t fileRef);  // the entry only, not what is below it
  void Index(uint64_t fileRef, const MirrorEntry& entry);
  void Unindex(uint64_t fileRef, const MirrorEntry& entry);
  void SetDownloadFlags(uint64_t fileRef, bool needsDownload, bool waiting);
  // The references held at paths below local, by the path index.
  std::vector<uint64_t> HeldBelowPath(const std::string& local) const;
  bool IsLiveDirectory(const std::string& localRelative) const;
  void RemoveEmptyParents(const std::string& localRelative);

  LocalTree& tree_;
  MirrorState& state_;
  // Local path -> the reference held there; ordered, so that what lies
  // below a path is one range.
  std::map<std::string, uint64_t> owners_;
  // Parent reference -> the entries held in it.
  std::unordered_map<uint64_t, std::unordered_set<uint64_t>> children_;
  // Entries whose parent is not known (states written before it was kept).
  std::unordered_set<uint64_t> unknownParent_;
  // Files waiting for their content and not for a newer record.
  std::unordered_set<uint64_t> pending_;
  uint64_t pendingBytes_ = 0;
  size_t waiting_ = 0;
  size_t refused_ = 0;
  // FIFOs, sockets and devices told of in this run (one line each).
  std::unordered_set<uint64_t> skippedSpecial_;
  // Entries the server does not carry (paths too long), told of in this
  // run (one line each, with the path's first kReportedPathBytes bytes).
  std::unordered_set<uint64_t> notCarried_;
  static constexpr size_t kReportedPathBytes = 200;
};

// The local relative path of a catalog name, or empty when refused.
std::string LocalName(const std::string& catalogName);

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_RECORD_APPLIER_H_
