// What a mirror remembers between runs, kept in DIR/.dirsync/state: the
// task and the identity of the store it copies, the store position up to which records
// have been applied, and one entry per file or directory it holds (file
// reference, catalog path, parent reference, version, size, write time,
// whether its content still has to be downloaded).
//
// The file is text, one entry per line, names escaped (%XX for control
// bytes, blanks and '%'), the parent reference behind the name (a state
// without it still loads), and ends with a line "end" so that a cut-off
// file is told from a whole one. Save writes a temporary file, syncs it,
// renames it over the old one and syncs the directory: a crash leaves
// either the old or the new state, never a mix.
//
// Not thread safe.
#ifndef DIRSYNC_TOOLS_MIRROR_STATE_H_
#define DIRSYNC_TOOLS_MIRROR_STATE_H_

#include <cstdint>
#include <map>
#include <string>

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

  bool operator==(const MirrorEntry&) const = default;
};

class MirrorState {
 public:
  bool hasStore = false;  // false for a mirror that never logged in
  std::string task;       // the task mirrored (empty before the first login)
  uint32_t storeId = 0;
  int64_t position = 0;
  std::map<uint64_t, MirrorEntry> entries;  // by file reference

  // Starts over for the store storeId: position 0, no entries.
  void Reset(uint32_t newStoreId);

  // DIR/.dirsync/state.
  static std::string PathFor(const std::string& mirrorDir);

  // Reads the state of mirrorDir. A missing file gives an empty state and
  // true; a damaged one gives false and *error.
  bool Load(const std::string& mirrorDir, std::string* error);
  // Writes the state atomically (creates DIR/.dirsync when missing).
  bool Save(const std::string& mirrorDir, std::string* error) const;

  // The text form (what Save writes), and its reader.
  std::string Serialize() const;
  bool Parse(const std::string& text, std::string* error);
};

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_MIRROR_STATE_H_
