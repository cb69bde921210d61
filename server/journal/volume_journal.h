// The change journal of one volume, on Linux.
//
// The journal monitor and the initial build are written against a volume
// change journal with numbered positions, an enumeration of the volume's
// entries by change position, a blocking journal read and lookups by file
// reference number. This header is the whole of that platform: nothing
// above it sees a Linux path, a file handle or a fanotify record. It gives:
//
//   Open              the volume "\\.\X:" = the directory that drive X maps
//                     to, watched by a fanotify group with one filesystem
//                     mark, placed before any scan starts.
//   Query             journal id (the filesystem id) and next position.
//   Enumerate         a walk of the volume's tree yielding {fileRef,
//                     parentRef, name, directory bit} for entries whose
//                     ctime lies in [low - 1 s, high] (every entry when low
//                     is 0); never a delete bit.
//   Read              a blocking read of the journal: next position and
//                     records {fileRef, parentRef, name, directory bit,
//                     delete bit}.
//   OldestPosition    0: every entry carries its ctime, so any position can
//                     be caught up.
//   OpenEntry, FinalPath, Attributes
//                     open by file reference, the "\\?\X:\..." path of an
//                     open entry, its size and FILETIME times.
//
// File references. An entry's reference is its file handle packed into 64
// bits (inode | generation << 32): the 8-byte handle of ext4 as it is, the
// 12-byte handle of tmpfs while the inode's high word is 0. A volume whose
// handles do not pack is refused at Open. A deleted and re-created file gets
// a new generation and so a new reference.
//
// Positions are nanoseconds since 1970 on the wall clock, so they compare
// with an inode's ctime. A position handed out (by Query or Read) is never
// below one handed out before.
//
// Design points.
//  - Paths. Directories resolve by handle (the kernel always reconnects
//    them). A file's path is its parent directory's path joined with the
//    name under which the journal or a walk last showed it, checked with
//    name_to_handle_at to still name this entry; otherwise the entry's own
//    handle path when that is a real path (not "/" of a disconnected dentry
//    and not "... (deleted)"); otherwise the path cannot be had. A lookup
//    overtaken by a rename (the path found no longer names the entry) is
//    made again, a few times. The layer
//    remembers (parent, name) per reference in a two-generation map of at
//    most 2 x 65,536 entries: every kept journal event and every walked
//    entry (when asked for) enters the young generation; when it is full it
//    becomes the old one and the previous old one is dropped. Memory stays
//    bounded; an entry that fell out resolves by its own handle path, which
//    works whenever the dentry is cached (always for recent changes).
//  - Inside the volume. The filesystem mark reports the whole filesystem;
//    events whose directories (old and new, for a rename) all lie outside
//    the volume's directory are dropped. Directory paths come from a cache
//    (handle -> path) that is cleared before any batch holding a directory
//    rename (a path found before a clearing is not cached after it). An
//    event without a directory is judged by the entry's own path. A
//    deletion whose place cannot be told is kept when its directory is gone
//    too (a removed tree) or the layer saw the entry inside the volume, or,
//    reported by its handle alone, next to a rename into the volume (the
//    file a rename replaced gets nothing but DELETE_SELF); deleting a
//    reference no task holds does nothing. Other deletions elsewhere on the
//    filesystem are dropped, though a removed tree elsewhere can still show
//    up as deletions of references no catalog holds. After a kernel read
//    that held nothing of the volume, Read pauses 1 ms before it waits
//    again, so that changes elsewhere on a busy filesystem cost the thread
//    one wake-up per millisecond, not one per event.
//  - Delete bit. Events are hints (the queue merges events of one object,
//    and objects move on before they are read): a record has the delete bit
//    exactly when its entry no longer exists at read time (ESTALE, or a link
//    count of 0). Several events of one reference in one read give one
//    record.
//  - Enumeration. The cursor walks by handle (each directory is opened by
//    its reference), parents before children, never following symbolic
//    links or entering another mount. A whole-volume walk reports the
//    volume's own directory first (parentRef 0), so that every entry has a
//    known parent directory. Asked to, it keeps every reference it met,
//    whatever the ctime filter said, and tells whether it saw the whole tree
//    (complete()): an entry of a catalog whose reference a complete walk did
//    not meet no longer exists. EnumerateBelow walks the tree below one
//    directory (used when a directory enters a task's root).
//  - A directory moved into the volume from outside it comes with what was
//    made in it out there, which no event reported: Read reports every
//    entry below it too, as if made in place. Whether a rename came from
//    outside cannot be told at read time (the old directory may have come
//    in since), so this is done for every directory renamed into a place
//    in the volume.
//  - Queue overflow. The group's queue is unlimited; should the kernel
//    still report FAN_Q_OVERFLOW, Read catches up as a restart would: it
//    logs a line, walks the volume for entries changed since the last read
//    that emptied the queue (minus the 1 s margin; positions handed out
//    after that may have lost events), returns them as records with
//    caughtUp set, and hands over the references the walk met, so that the
//    monitor can report entries that vanished meanwhile.
//  - Interrupting a read. Read polls the fanotify group and an eventfd;
//    Stop() makes the current and every later Read return kStopped.
//  - The server's own events (its store and log writes) are dropped by the
//    pid of the event. Tests either change trees from another process or
//    turn the filter off with Options::dropOwnEvents. The log costs less
//    still: when standard output or error is a regular file on the
//    volume's filesystem but outside the volume's directory, the group
//    tells the kernel not to report its writes at all, so a log line wakes
//    no reading thread (the server logs a line per client request). Such a
//    file later moved or linked into the volume stays unreported.
//  - Opening needs CAP_SYS_ADMIN (fanotify) and CAP_DAC_READ_SEARCH
//    (open_by_handle_at); without them Open fails and says which is needed.
#ifndef DIRSYNC_JOURNAL_VOLUME_JOURNAL_H_
#define DIRSYNC_JOURNAL_VOLUME_JOURNAL_H_

#include <time.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/drive_map.h"
#include "platform/env.h"
#include "platform/status.h"
#include "platform/unique_fd.h"

namespace dirsync {

class EntryResolver;
class FanotifyGroup;
class TreeWalk;

// One entry of the journal or of an enumeration.
struct JournalRecord {
  uint64_t fileRef = 0;
  uint64_t parentRef = 0;  // 0 when not known
  std::string name;        // the entry's own name; may be empty in a read
  bool directory = false;
  bool deleted = false;    // never set by an enumeration
};

// A sorted set of file references.
struct ReferenceSet {
  std::vector<uint64_t> sorted;
  // Whether the walk that filled the set saw the whole tree. Only a
  // complete set tells that an entry is gone.
  bool complete = false;
  bool Contains(uint64_t ref) const;
};

// The output of one Read or Enumerate call. Reused from call to call.
struct JournalBatch {
  std::vector<JournalRecord> records;
  // Read only: the queue overflowed and records holds a catch-up walk's
  // entries (as well as the events read); met holds every reference that
  // walk met.
  bool caughtUp = false;
  ReferenceSet met;

  void Clear();
};

// Size and times of an entry, times as FILETIME (100 ns units since 1601).
struct EntryAttributes {
  uint64_t fileSize = 0;
  uint64_t creationTime = 0;   // birth time, or change time without one
  uint64_t lastWriteTime = 0;  // modification time
  bool directory = false;
};

// An entry opened by its file reference. Movable, not copyable; closes its
// descriptor when destroyed.
class EntryHandle {
 public:
  EntryHandle() = default;
  EntryHandle(EntryHandle&& other) noexcept = default;
  EntryHandle& operator=(EntryHandle&& other) noexcept = default;
  EntryHandle(const EntryHandle&) = delete;
  EntryHandle& operator=(const EntryHandle&) = delete;
  ~EntryHandle() = default;

  bool valid() const { return fd_.valid(); }
  uint64_t fileRef() const { return ref_; }
  bool directory() const { return attributes_.directory; }

 private:
  friend class VolumeJournal;
  UniqueFd fd_;  // O_PATH descriptor
  uint64_t ref_ = 0;
  EntryAttributes attributes_;  // as of the open
};

// A walk of the volume's tree, started by VolumeJournal::StartEnumeration
// or EnumerateBelow and advanced by Enumerate. Owned and used by one thread.
class EnumerationCursor {
 public:
  EnumerationCursor();
  EnumerationCursor(EnumerationCursor&&) noexcept;
  EnumerationCursor& operator=(EnumerationCursor&&) noexcept;
  ~EnumerationCursor();

  // After the walk ended: whether it saw every directory of the tree (a
  // directory that vanished during the walk does not count against it).
  bool complete() const;
  // After the walk ended: the references met, when asked for at the start.
  const ReferenceSet& met() const;

 private:
  friend class VolumeJournal;
  std::unique_ptr<TreeWalk> walk_;
};

class VolumeJournal {
 public:
  struct Options {
    // Drop events caused by this process. Tests that change the tree from
    // their own process turn it off.
    bool dropOwnEvents = true;
    // Ask the kernel for an unlimited event queue. Tests turn it off to
    // provoke an overflow (the queue then holds 16,384 events).
    bool unlimitedQueue = true;
    // The system events are read through; tests hand in one that fails.
    Env* env = Env::Default();
    // The process's own output files (its log), by descriptor: each one
    // that is a regular file on the volume's filesystem, outside the
    // volume's directory and with no other name, is excluded in the kernel.
    std::vector<int> ownOutputs{1, 2};
  };

  enum class ReadResult { kRecords, kFailed, kStopped, kTimedOut };

  // Opens the volume named by devicePath ("\\.\X:"): the directory that
  // drive X maps to in drives (which must outlive the journal), with its
  // fanotify group and filesystem mark. A failure's ToString() is one line
  // saying why (the system's error text; for EPERM the capability needed).
  static Status Open(std::string_view devicePath, const DriveMap& drives,
                     const Options& options,
                     std::unique_ptr<VolumeJournal>* journal);
  ~VolumeJournal();
  VolumeJournal(const VolumeJournal&) = delete;
  VolumeJournal& operator=(const VolumeJournal&) = delete;

  char driveLetter() const { return letter_; }

  // Journal id and next position. Always succeeds on an open volume: the
  // journal exists for as long as the volume is open. Thread safe.
  bool Query(uint64_t* journalId, int64_t* nextUsn);
  // Creating a journal: there is nothing to create, the journal exists
  // while the volume is open. Returns true. Thread safe.
  bool Create();
  // The oldest position the journal reaches: 0. Thread safe.
  bool OldestPosition(int64_t* oldest);

  // Starts a walk of the whole volume. With keepMet, the cursor keeps every
  // reference it meets; with rememberNames, walked entries enter the name
  // memory (needed when their paths are asked for soon after). Thread safe.
  EnumerationCursor StartEnumeration(bool keepMet, bool rememberNames);
  // Starts a walk of everything below the directory dirRef (not the
  // directory itself). Thread safe.
  EnumerationCursor EnumerateBelow(uint64_t dirRef, bool rememberNames);
  // Fills *out with the next records of the walk whose ctime lies in
  // [lowUsn - 1 s, highUsn] (all records when lowUsn is 0). Returns false,
  // with *out empty, once the walk has ended. Runs on the cursor's thread.
  bool Enumerate(EnumerationCursor* cursor, int64_t lowUsn, int64_t highUsn,
                 JournalBatch* out);

  // Blocks until the journal holds records of this volume, then returns
  // them with the next position (the clock read just before the kernel
  // read that gave them). startUsn, the position the caller has read up
  // to, is not needed: the queue knows. timeoutMs < 0 waits without limit.
  // One reading thread at a time.
  ReadResult Read(int64_t startUsn, int64_t* nextUsn, JournalBatch* out,
                  int timeoutMs = -1);
  // Why the last Read failed.
  const Status& lastReadError() const { return lastReadError_; }
  // Makes the current and every later Read return kStopped. Thread safe.
  void Stop();

  // Opens an entry by reference. Invalid when the entry no longer exists
  // (or never did, or its handle does not belong to this volume). Thread
  // safe.
  EntryHandle OpenEntry(uint64_t fileRef);
  // The entry's full path: "\\?\X:\..." with the on-disk letter case when
  // it lies in a mapped directory (the volume's own directory is
  // "\\?\X:"), else "\\?\" followed by the Linux path, which no task root
  // can match. *parentRef (optional) gets the reference of the directory
  // the path was found in. False when the path cannot be had or is longer
  // than 1,023 bytes. Thread safe.
  bool FinalPath(const EntryHandle& entry, std::string* path,
                 uint64_t* parentRef = nullptr);
  // Size and times as of OpenEntry. Thread safe.
  bool Attributes(const EntryHandle& entry, EntryAttributes* attributes);

 private:
  struct ReadState;

  VolumeJournal();
  // The next position to hand out: the wall clock, but above every
  // position handed out before.
  int64_t NextPosition();
  // One kernel read at position: its records appended to out. False when
  // the read failed.
  bool ReadOnce(int64_t position, JournalBatch* out);
  // Appends a walk's records for everything changed since lastDrained_.
  void CatchUpAfterOverflow(JournalBatch* out);

  char letter_ = 0;
  uint64_t journalId_ = 0;
  std::unique_ptr<EntryResolver> resolver_;
  std::unique_ptr<FanotifyGroup> group_;
  std::unique_ptr<ReadState> read_;  // the reading thread's alone
  std::atomic<int64_t> lastPosition_{0};
  // Position of the last read after which the queue was empty: no event
  // of a change before it was lost. Reading thread only.
  int64_t lastDrained_ = 0;
  Status lastReadError_;
};

// Converts a time to FILETIME (100 ns units since 1601-01-01 UTC).
uint64_t ToFileTime(const struct timespec& t);

}  // namespace dirsync

#endif  // DIRSYNC_JOURNAL_VOLUME_JOURNAL_H_
