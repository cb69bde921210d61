// The change journal of one volume, on Linux: the whole platform the
// journal monitor and the initial build stand on. A volume ("\\.\X:", the
// directory drive X maps to) is watched by a fanotify group with one
// filesystem mark, placed before any scan. Entries are named by file
// references (their file handles packed into 64 bits); positions are
// wall-clock nanoseconds, comparable with an inode's ctime, and never go
// back. Enumerate walks the tree by handle; Read blocks until events of the
// volume arrive and returns one record per reference, with the delete bit
// set exactly when the entry no longer exists at read time. The design
// (paths, inside/outside, overflow, the server's own events) is described
// in docs/journal.md.
//
// Opening needs CAP_SYS_ADMIN (fanotify) and CAP_DAC_READ_SEARCH
// (open_by_handle_at); without them Open fails and says which is needed.
#ifndef DIRSYNC_JOURNAL_VOLUME_JOURNAL_H_
#define DIRSYNC_JOURNAL_VOLUME_JOURNAL_H_

#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
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
  // Read only: the entry could not be looked up (no descriptors, no
  // memory, ...), so whether it exists and where could not be told. It is
  // reported all the same, to be looked up again later.
  bool unresolved = false;
  // Enumeration only: the entry's change time in nanoseconds since 1970,
  // when the walk read it (every walk that keeps the references it met
  // does); else 0.
  int64_t changeTime = 0;
  // Enumeration only, when the walk was asked to read them: the entry's
  // size and times as the walk found them (hasAttributes), so that a build
  // need not open the entry again.
  bool hasAttributes = false;
  uint64_t fileSize = 0;
  uint64_t creationTime = 0;   // birth time, or change time without one
  uint64_t lastWriteTime = 0;  // modification time
  uint32_t mode = 0;           // type and permission bits
  // The entry's link count when it was looked up (a file with several
  // names has more than one); 0 when not known.
  uint32_t links = 0;
  // Read only: the other places (parent, name) the read's events of the
  // entry named, besides parentRef and name: further names it may have
  // been given (links made in a row). Hints, unchecked.
  std::vector<std::pair<uint64_t, std::string>> otherPlaces;
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

// Size, times, type and permissions of an entry, times as FILETIME (100 ns
// units since 1601). For a symbolic link (never followed) the size is
// that of its target text.
struct EntryAttributes {
  uint64_t fileSize = 0;
  uint32_t mode = 0;           // st_mode: type and permission bits
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
  // memory (needed when their paths are asked for soon after); with
  // readAttributes, records carry the entries' sizes and times. Thread safe.
  EnumerationCursor StartEnumeration(bool keepMet, bool rememberNames,
                                     bool readAttributes = false);
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

  // Opens an entry by reference. kNotFound when the entry no longer exists
  // (ESTALE, or no link left), or never did; kIOError when the open failed
  // for another reason (EMFILE, ENFILE, ENOMEM, EIO, ...), which proves
  // nothing about the entry. Thread safe.
  Status OpenEntry(uint64_t fileRef, EntryHandle* entry);
  // The same, invalid on any failure.
  EntryHandle OpenEntry(uint64_t fileRef);
  // The entry's full path: "\\?\X:\..." with the on-disk letter case when
  // it lies in a mapped directory (the volume's own directory is
  // "\\?\X:"), else "\\?\" followed by the Linux path, which no task root
  // can match. *parentRef (optional) gets the reference of the directory
  // the path was found in. Paths longer than the kernel resolves from "/"
  // are given too (the catalog marks their entries as not carried).
  // kNotFound when the path cannot be had, kIOError when a lookup on the
  // way failed.
  // Thread safe.
  Status FindPath(const EntryHandle& entry, std::string* path,
                  uint64_t* parentRef = nullptr);
  // The same, false on any failure.
  bool FinalPath(const EntryHandle& entry, std::string* path,
                 uint64_t* parentRef = nullptr) {
    return FindPath(entry, path, parentRef).ok();
  }
  // Size and times as of OpenEntry. Thread safe.
  bool Attributes(const EntryHandle& entry, EntryAttributes* attributes);
  // Whether the entry called name in the directory parentRef is fileRef,
  // and then its full path ("\\?\X:\...", as FindPath gives). kNotFound
  // when the directory or the name is gone or names another entry,
  // kIOError when a lookup failed. Thread safe.
  Status PlaceOfName(uint64_t fileRef, uint64_t parentRef, std::string_view name,
                     std::string* path);

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
// The size and times of a statx result (STATX_BASIC_STATS | STATX_BTIME),
// as the catalog keeps them.
EntryAttributes AttributesOf(const struct statx& st);

}  // namespace dirsync

#endif  // DIRSYNC_JOURNAL_VOLUME_JOURNAL_H_
