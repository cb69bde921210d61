// A walk of a volume's directory tree: the enumeration behind
// VolumeJournal::Enumerate.
//
// Directories are opened by their references (open_by_handle_at), so the
// walk follows a directory that moves while it runs; each is read with
// getdents64, and every entry gets its reference with name_to_handle_at
// (a final symbolic link is never followed) and, when its type is not told,
// the ctime filter is on or the met set is kept, statx. Entries on another
// mount (a filesystem mounted below, a bind mount) are neither reported
// nor entered. Parents come before their children. Records are filtered on
// ctime; the met set (when kept) holds every reference met regardless of
// the filter. Every system call goes through the resolver's Env. A call
// that fails for any reason but the entry's absence (no descriptors, no
// memory, an I/O error) makes the walk incomplete, with one log line, so
// that nothing it did not see is taken for gone. A walk with readAhead has
// directories read ahead of it on a second thread when the machine has
// more than one processor (DirectoryReadAhead); its records are the same.
//
// Owned and advanced by one thread.
#ifndef DIRSYNC_JOURNAL_TREE_WALK_H_
#define DIRSYNC_JOURNAL_TREE_WALK_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "journal/directory_read_ahead.h"
#include "journal/entry_resolver.h"
#include "journal/volume_journal.h"
#include "platform/unique_fd.h"

namespace dirsync {

class TreeWalk {
 public:
  struct Options {
    bool reportStart = false;    // report the start directory itself first
    bool keepMet = false;        // keep every reference met
    bool rememberNames = false;  // enter reported entries in the name memory
    bool readAttributes = false;  // records carry size and times
    bool readAhead = false;  // read directories ahead on a second thread
  };

  TreeWalk(EntryResolver* resolver, uint64_t startRef, const Options& options);
  ~TreeWalk();
  TreeWalk(const TreeWalk&) = delete;
  TreeWalk& operator=(const TreeWalk&) = delete;

  // Replaces out->records with up to maxRecords records whose ctime lies in
  // [lowUsn - 1 s, highUsn] (all when lowUsn is 0). False, with no
  // records, once the walk has ended.
  bool Next(int64_t lowUsn, int64_t highUsn, JournalBatch* out,
            size_t maxRecords);

  bool ended() const { return ended_; }
  bool complete() const { return complete_; }
  const ReferenceSet& met() const { return met_; }

 private:
  void Start(int64_t lowUsn, int64_t highUsn, JournalBatch* out);
  // Opens the next directory to read, or takes it from the read-ahead.
  // False when none is left. lowUsn: the walk's window, which tells
  // whether every entry is statted.
  bool OpenNextDirectory(int64_t lowUsn);
  // Asks the read-ahead for the directory the walk reaches after the next
  // one it reads itself (depth 2) or the next one (depth 1).
  void RequestReadAhead(size_t depth, int64_t lowUsn);
  void CloseDirectory();
  // Reads the next getdents64 chunk; false when the directory is done.
  bool FillBuffer();
  void VisitEntry(const char* name, unsigned char type, int64_t lowUsn,
                  int64_t highUsn, JournalBatch* out);
  // Turns what the system said of an entry into the walk's record.
  void RecordEntry(const char* name, unsigned char type,
                   const ResolvedEntry& resolved, int64_t lowUsn,
                   int64_t highUsn, JournalBatch* out);
  // Whether every entry is statted, not only those of unknown type.
  bool StatEvery(int64_t lowUsn) const {
    return lowUsn != 0 || options_.keepMet || options_.readAttributes;
  }
  void Finish();
  // Marks the walk incomplete; logs the first such failure of the walk.
  void MissedSome(const char* what, uint64_t ref, const Status& why);

  EntryResolver* resolver_;
  uint64_t startRef_;
  Options options_;

  bool started_ = false;
  bool ended_ = false;
  bool complete_ = true;
  std::vector<uint64_t> toVisit_;  // directories still to read (a stack)
  std::unordered_set<uint64_t> visited_;
  UniqueFd dirFd_;
  uint64_t dirRef_ = 0;
  std::vector<unsigned char> buffer_;
  std::unique_ptr<DirectoryReadAhead> readAhead_;  // null: reads alone
  // The entries of the current directory read ahead, recorded before the
  // rest of it is read, and how reading it ahead ended.
  std::vector<DirectoryReadAhead::Entry> replay_;
  size_t replayAt_ = 0;
  bool readAheadEnded_ = false;
  Status readAheadFailure_;
  size_t bufferPos_ = 0;
  size_t bufferLength_ = 0;
  ReferenceSet met_;
  std::vector<EntryResolver::Sighting> sightings_;
  int reportedMisses_ = 0;
};

}  // namespace dirsync

#endif  // DIRSYNC_JOURNAL_TREE_WALK_H_
