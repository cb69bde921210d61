// What a mirror remembers between runs, kept in DIR/.dirsync (StateFile): the
// task and the identity of the store it copies, the store position up to which records
// have been applied, and one entry per file or directory it holds (file
// reference, catalog path, parent reference, version, size, write time,
// whether its content still has to be downloaded, type and permissions).
//
// A snapshot is text, one entry per line, names escaped (%XX for control
// bytes, blanks and '%'), the parent reference and the mode behind the
// name (a state without them still loads), and ends with a line "end" so that a cut-off
// file is told from a whole one. How snapshots and the change log behind
// them are written is StateFile's business (state_file.h).
//
// Not thread safe.
#ifndef DIRSYNC_TOOLS_MIRROR_STATE_H_
#define DIRSYNC_TOOLS_MIRROR_STATE_H_

#include <cstdint>
#include <unordered_map>
#include <string>
#include <unordered_set>

namespace dsclient_tool {

struct MirrorEntry {
  bool directory = false;
  std::string name;  // path as the catalog has it ('\' separated)
  // The directory the entry lies in, as its record gave it; 0 when not
  // known (a state written before it was kept).
  uint64_t parentRef = 0;
  uint32_t version = 0;
  uint64_t size = 0;
  uint64_t lastWriteTime = 0;
  bool needsDownload = false;
  // The last download attempt found the server's version newer or the
  // file gone: wait for the next record of this entry before trying again.
  bool waiting = false;
  // The entry's st_mode (type and permission bits) as its record gave it;
  // 0 when the record said nothing of it (stores of older servers).
  uint32_t mode = 0;

  // A symbolic link: its content is its target text.
  bool link() const;

  bool operator==(const MirrorEntry&) const = default;
};

class MirrorState {
 public:
  bool hasStore = false;  // false for a mirror that never logged in
  std::string task;       // the task mirrored (empty before the first login)
  uint32_t storeId = 0;
  int64_t position = 0;

  // The entries, by file reference.
  const std::unordered_map<uint64_t, MirrorEntry>& entries() const { return entries_; }
  const MirrorEntry* Find(uint64_t fileRef) const;
  // Changes of entries go through these, so that a save writes only what
  // changed since the last one.
  void Put(uint64_t fileRef, MirrorEntry entry);
  // The entry to change in place (null when not held).
  MirrorEntry* Edit(uint64_t fileRef);
  void Erase(uint64_t fileRef);

  // Starts over for the store storeId: position 0, no entries.
  void Reset(uint32_t newStoreId);

  // References whose entry changed (or went) since ClearChanges, and
  // whether the state started over meanwhile (then everything changed).
  const std::unordered_set<uint64_t>& changed() const { return changed_; }
  bool startedOver() const { return startedOver_; }
  void ClearChanges();

  // DIR/.dirsync/state.
  static std::string PathFor(const std::string& mirrorDir);

  // Reads the state of mirrorDir (snapshot and change log, StateFile). A
  // missing file gives an empty state and true; a damaged one gives false
  // and *error.
  bool Load(const std::string& mirrorDir, std::string* error);
  // Writes the whole state as a new snapshot (creates DIR/.dirsync when
  // missing).
  bool Save(const std::string& mirrorDir, std::string* error);

  // The text form of a snapshot, and its reader. generation numbers the
  // snapshot, so that a change log written for an older one is told apart.
  std::string Serialize(uint64_t generation = 0) const;
  bool Parse(const std::string& text, std::string* error, uint64_t* generation = nullptr);

  // One line of an entry as snapshots and change logs hold it (with its
  // line end), and its reader ("d ..." or "f ...", without the line end).
  static std::string EntryLine(uint64_t fileRef, const MirrorEntry& entry);
  static void AppendEntryLine(std::string* out, uint64_t fileRef, const MirrorEntry& entry);
  static bool ParseEntryLine(const std::string& line, uint64_t* fileRef,
                             MirrorEntry* entry);

 private:
  std::unordered_map<uint64_t, MirrorEntry> entries_;
  std::unordered_set<uint64_t> changed_;
  bool startedOver_ = false;
};

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_MIRROR_STATE_H_
