// Turns the fanotify events of one read into journal records, one per
// reference.
//
// - An event's reference is its own handle; its parent is the new
//   directory of a rename, else the event's directory; its name likewise.
// - Events whose directories (old and new, for a rename) all lie outside
//   the volume's directory are dropped, unless the name memory saw the
//   file inside (a file with several names written through a name
//   outside): then the entry's own path decides. A reference none of whose events
//   could be placed is judged by the entry's own path while it exists.
//   A deletion that cannot be placed is kept when its directory is gone as
//   well (a removed tree), when the name memory does not place it outside,
//   or, reported by its handle alone and unknown to the memory, when this
//   read or the one before holds a rename into the volume (the file a
//   rename replaced gets nothing but DELETE_SELF). Other deletions on the filesystem are
//   dropped. Events of the own process are dropped when asked.
// - Several events of one reference give one record: the last parent and
//   name, kept when any of them was kept.
// - The delete bit is set exactly when the entry no longer exists at read
//   time (ESTALE, a link count of 0, or a DELETE_SELF among its events);
//   an entry that still opens with links left is a non-delete whatever
//   the event's mask says.
// - A lookup that fails for any other reason (no descriptors, no memory)
//   proves nothing: the record is kept with its unresolved bit, unless a
//   directory that could be read placed it outside, and is looked up again
//   when the change is applied.
// - Kept places enter the name memory; a directory rename in the read
//   clears the directory path cache first.
// Runs on the journal reading thread.
#ifndef DIRSYNC_JOURNAL_EVENT_TRANSLATOR_H_
#define DIRSYNC_JOURNAL_EVENT_TRANSLATOR_H_

#include <sys/types.h>

#include <cstdint>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

#include "journal/entry_resolver.h"
#include "journal/event_parser.h"
#include "journal/volume_journal.h"

namespace dirsync {

class JournalEventTranslator {
 public:
  // ownPid: events of this process id are dropped; 0 keeps them.
  JournalEventTranslator(EntryResolver* resolver, pid_t ownPid);

  // Appends the records of events to out->records. Sets *overflowed when
  // the events include a queue overflow. Returns the number of events that
  // carried handles this volume cannot use.
  int Translate(const std::vector<FanotifyEvent>& events, JournalBatch* out,
                bool* overflowed);

  // The directories that the last Translate saw renamed into a place in the
  // volume. Any of them may have come from outside it, where what was made
  // in them was never reported: the current place of a rename's old
  // directory cannot tell where that directory was at the time.
  const std::vector<uint64_t>& enteredVolume() const { return enteredVolume_; }

 private:
  // What the events of one reference said.
  struct Sighting {
    uint64_t ref = 0;
    bool hasPlace = false;  // parent and name known
    uint64_t parentRef = 0;
    std::string name;
    bool directory = false;
    bool inside = false;   // some event had a directory inside the volume
    bool outside = false;  // some event had its directories all outside
    bool hadDirectory = false;  // some event named a directory
    bool deletedSelf = false;   // the kernel reported the entry removed
    bool unreadable = false;    // some event's directory could not be looked up
    // Every place the events named before the last one.
    std::vector<std::pair<uint64_t, std::string>> earlierPlaces;
  };

  EntryResolver::Place PlaceOfEvent(const FanotifyEvent& event);
  // Builds the record of one sighting; false when it is dropped.
  bool Finish(const Sighting& sighting, JournalRecord* record);

  // Sightings whose buffers are kept between reads; larger ones are freed.
  static constexpr size_t kKeptSightings = 1024;

  EntryResolver* resolver_;
  pid_t ownPid_;
  std::vector<Sighting> sightings_;
  std::unordered_map<uint64_t, size_t> index_;
  std::vector<uint64_t> enteredVolume_;
  bool renameIntoVolume_ = false;  // this read holds a rename into the volume
  bool recentRenameIntoVolume_ = false;  // this read or the one before
};

}  // namespace dirsync

#endif  // DIRSYNC_JOURNAL_EVENT_TRANSLATOR_H_
