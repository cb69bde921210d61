// Keeps a mirror's state on disk so that saving costs in proportion to what
// changed, not to the size of the tree:
//
//   DIR/.dirsync/state      a snapshot of the whole state (MirrorState's
//                           text form), numbered by a generation
//   DIR/.dirsync/state.log  the change log behind that snapshot: a first
//                           line naming the snapshot's generation, then
//                           groups of entry lines ("f ...", "d ...", or
//                           "x REF" for an entry gone), each closed by
//                           "commit POSITION CRC32" over the group's bytes
//
// A save appends one group for the entries changed since the last save and
// syncs the log (fdatasync) before it returns; a save that fails cuts the
// log back, keeps the changes and reports the error, so the next save
// writes them again. Loading replays the groups whose commit line is whole
// and sound, and drops a torn tail (a crash during an append).
//
// When the log grows past the snapshot (and 1 MiB), when the state started
// over, or when the task or store changed, a new snapshot is written: to a
// temporary file that is synced, renamed over the old one, and then the
// directory is synced; a new, empty log follows the same way. A crash
// between the two leaves a snapshot newer than the log, whose groups are
// then ignored (the snapshot holds them). Either way a crash leaves the
// old state or the new one, never a mix.
//
// All file operations go through StateFileSystem, which tests replace to
// watch the order of syncs and renames or to make an operation fail.
// Not thread safe.
#ifndef DIRSYNC_TOOLS_STATE_FILE_H_
#define DIRSYNC_TOOLS_STATE_FILE_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "mirror_state.h"

namespace dsclient_tool {

// The file operations a StateFile needs. Each returns false (or -1) with
// errno set on failure.
class StateFileSystem {
 public:
  virtual ~StateFileSystem() = default;
  virtual int Open(const std::string& path, int flags, mode_t mode);
  // Writes all bytes (short writes and EINTR are gone on with).
  virtual bool Write(int fd, std::string_view bytes);
  virtual bool Sync(int fd);      // fsync
  virtual bool DataSync(int fd);  // fdatasync
  virtual bool Truncate(int fd, off_t length);
  virtual void Close(int fd);
  virtual bool Rename(const std::string& from, const std::string& to);
  virtual bool SyncDirectory(const std::string& dir);
  virtual bool MakeDirectory(const std::string& path);
  // The whole file; *missing tells a file that does not exist.
  virtual bool ReadAll(const std::string& path, std::string* out, bool* missing);

  // The real file system.
  static StateFileSystem& Default();
};

class StateFile {
 public:
  explicit StateFile(std::string mirrorDir,
                     StateFileSystem& files = StateFileSystem::Default());
  ~StateFile();
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  // Reads the snapshot and replays the log. A missing snapshot gives an
  // empty state and true; a damaged one false and *error.
  bool Load(MirrorState* state, std::string* error);
  // Appends what changed since the last save (or writes a snapshot, see
  // above). On success the state's changes are cleared.
  bool Save(MirrorState& state, std::string* error);
  // Writes the whole state as a new snapshot with an empty log behind it.
  bool WriteSnapshot(MirrorState& state, std::string* error);

  // DIR/.dirsync/state.log.
  static std::string LogPathFor(const std::string& mirrorDir);

  uint64_t logBytes() const { return logBytes_; }
  // The errno of the last failure (ENOSPC for a full disk, say).
  int lastError() const { return lastError_; }
  uint64_t generation() const { return generation_; }

 private:
  // The text of a failure of what on path; keeps errno in lastError_.
  std::string ErrorText(const std::string& what, const std::string& path);
  // Starts the empty log of the current generation and keeps it open.
  bool StartLog(std::string* error);
  void CloseLog();
  // Replays the log's sound groups into state; returns the bytes they
  // (and the first line) take, 0 when the log does not belong to the
  // snapshot.
  uint64_t ReplayLog(const std::string& text, MirrorState* state);

  std::string dir_;       // DIR/.dirsync
  std::string snapshot_;  // DIR/.dirsync/state
  std::string log_;       // DIR/.dirsync/state.log
  StateFileSystem& files_;
  int logFd_ = -1;
  int lastError_ = 0;
  uint64_t generation_ = 0;
  uint64_t logBytes_ = 0;       // sound bytes of the log
  uint64_t snapshotBytes_ = 0;  // size of the last snapshot
  // What the snapshot and log hold besides the entries.
  bool savedHasStore_ = false;
  std::string savedTask_;
  uint32_t savedStoreId_ = 0;
  int64_t savedPosition_ = -1;
};

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_STATE_FILE_H_
