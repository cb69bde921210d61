#include "journal/event_translator.h"

#include <fcntl.h>
#include <linux/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace dirsync {

JournalEventTranslator::JournalEventTranslator(EntryResolver* resolver,
                                               pid_t ownPid)
    : resolver_(resolver), ownPid_(ownPid) {}

EntryResolver::Place JournalEventTranslator::PlaceOfEvent(
    const FanotifyEvent& event) {
  using Place = EntryResolver::Place;
  uint64_t dirs[2];
  int count = 0;
  if (event.hasOld) dirs[count++] = event.oldDir;
  if (event.hasNew) dirs[count++] = event.newDir;
  if (count == 0 && event.hasDir) dirs[count++] = event.dir;
  if (count == 0) return Place::kUnknown;
  bool unknown = false;
  bool unreadable = false;
  for (int i = 0; i < count; ++i) {
    Place place = resolver_->PlaceOfDirectory(dirs[i]);
    if (place == Place::kInside) return Place::kInside;
    if (place == Place::kUnknown) unknown = true;
    if (place == Place::kUnreadable) unreadable = true;
  }
  // A directory that could not be looked up may well lie inside.
  if (unreadable) return Place::kUnreadable;
  return unknown ? Place::kUnknown : Place::kOutside;
}

int JournalEventTranslator::Translate(const std::vector<FanotifyEvent>& events,
                                      JournalBatch* out, bool* overflowed) {
  using Place = EntryResolver::Place;
  *overflowed = false;
  int foreign = 0;
  // A directory that moved makes every cached path below it stale.
  for (const FanotifyEvent& event : events) {
    if ((event.mask & FAN_RENAME) && (event.mask & FAN_ONDIR)) {
      resolver_->ForgetDirectoryPaths();
      break;
    }
  }

  sightings_.clear();
  index_.clear();
  // The replaced file's DELETE_SELF is queued right after the rename, so
  // it comes in the same read or, when the read ended between them, in the
  // next one.
  bool renameInPreviousRead = renameIntoVolume_;
  renameIntoVolume_ = false;
  enteredVolume_.clear();
  for (const FanotifyEvent& event : events) {
    if (event.mask & FAN_Q_OVERFLOW) {
      *overflowed = true;
      continue;
    }
    if (ownPid_ != 0 && event.pid == ownPid_) continue;
    if (event.foreign) {
      ++foreign;
      continue;
    }
    if (!event.hasObject) continue;

    auto [it, added] = index_.emplace(event.object, sightings_.size());
    if (added) {
      sightings_.emplace_back();
      sightings_.back().ref = event.object;
    }
    Sighting& s = sightings_[it->second];
    Place place = PlaceOfEvent(event);
    if (place == Place::kInside) s.inside = true;
    if (place == Place::kOutside) s.outside = true;
    if (place == Place::kUnreadable) s.unreadable = true;
    if (event.hasDir || event.hasOld || event.hasNew) s.hadDirectory = true;
    if (event.hasNew && resolver_->PlaceOfDirectory(event.newDir) == Place::kInside) {
      renameIntoVolume_ = true;
      // Where the old directory is now says nothing about where it was
      // when the rename happened (it may have come in since), so every
      // directory renamed into place counts as possibly come from outside.
      if (event.mask & FAN_ONDIR) enteredVolume_.push_back(event.object);
    }
    if (event.mask & FAN_ONDIR) s.directory = true;
    if (event.mask & FAN_DELETE_SELF) s.deletedSelf = true;
    if ((event.hasNew || event.hasDir) && s.hasPlace) {
      std::pair<uint64_t, std::string> earlier(s.parentRef, s.name);
      if (std::find(s.earlierPlaces.begin(), s.earlierPlaces.end(), earlier) ==
          s.earlierPlaces.end()) {
        s.earlierPlaces.push_back(std::move(earlier));
      }
    }
    if (event.hasNew) {
      s.hasPlace = true;
      s.parentRef = event.newDir;
      s.name = event.newName;
    } else if (event.hasDir) {
      s.hasPlace = true;
      s.parentRef = event.dir;
      s.name = event.name;
    }
    if (place == Place::kInside && s.hasPlace) {
      resolver_->Remember(s.ref, s.parentRef, s.name);
    }
  }

  recentRenameIntoVolume_ = renameIntoVolume_ || renameInPreviousRead;
  std::vector<uint64_t> gone;
  for (const Sighting& s : sightings_) {
    JournalRecord record;
    bool keep = Finish(s, &record);
    if (record.deleted) gone.push_back(s.ref);
    if (keep) out->records.push_back(std::move(record));
  }
  // The deletions are recorded now; a later event of the same reference
  // (its DELETE_SELF in the next read) needs no name to be dropped or kept.
  resolver_->ForgetAll(gone);
  // A storm of events leaves no buffers at its size behind.
  if (sightings_.capacity() > kKeptSightings) {
    std::vector<Sighting>().swap(sightings_);
    std::unordered_map<uint64_t, size_t>().swap(index_);
  }
  return foreign;
}

bool JournalEventTranslator::Finish(const Sighting& s, JournalRecord* record) {
  // A known place outside the volume settles it, unless another event of
  // the reference happened inside or could not be placed, or the layer saw
  // the file inside: a file with several names written through a name
  // outside still has its names inside (its own path tells, below).
  if (!s.inside && s.outside && !s.unreadable) {
    uint64_t parent = 0;
    std::string name;
    if (s.directory || !resolver_->Recall(s.ref, &parent, &name)) return false;
  }

  record->fileRef = s.ref;
  record->directory = s.directory;
  record->name = s.name;
  record->parentRef = s.hasPlace ? s.parentRef : 0;
  for (const auto& place : s.earlierPlaces) {
    if (place.first != s.parentRef || place.second != s.name) {
      record->otherPlaces.push_back(place);
    }
  }
  bool remembered = false;
  if (!s.hasPlace) {
    uint64_t parent = 0;
    std::string name;
    if (resolver_->Recall(s.ref, &parent, &name)) {
      remembered = true;
      record->parentRef = parent;
      record->name = std::move(name);
    }
  }

  UniqueFd fd;
  Status opened = resolver_->Open(s.ref, O_PATH, &fd);
  bool gone = false;
  // Whether the entry could not be looked up for a reason that proves
  // nothing about it (no descriptors, no memory, ...).
  bool failed = false;
  if (!opened.ok()) {
    // ESTALE: the entry is gone. A removed entry can also fail with another
    // error (ENOMEM from ext4 while its inode is being freed), so a
    // DELETE_SELF settles it. Any other failure proves nothing: the record
    // is kept unresolved, to be looked up again when it is applied.
    gone = opened.IsNotFound() || s.deletedSelf;
    failed = !gone;
  } else {
    struct statx st;
    Status statted = resolver_->env()->StatAt(fd.get(), "", AT_EMPTY_PATH,
                                              STATX_TYPE | STATX_NLINK, &st);
    if (statted.ok()) {
      gone = st.stx_nlink == 0;
      record->links = st.stx_nlink;
      if (!gone) record->directory = S_ISDIR(st.stx_mode);
    } else {
      failed = true;
    }
  }
  record->deleted = gone;
  record->unresolved = failed;

  bool keep = s.inside;
  if (!keep && gone) {
    if (s.hadDirectory) {
      // Its directory is gone too (a tree removed before the read): it may
      // well have been inside.
      keep = true;
    } else if (remembered) {
      // Only its own handle was reported, but the layer saw it inside the
      // volume (where its directory is now does not matter: it may have
      // moved out since the entry was deleted).
      keep = true;
    } else {
      // A file replaced by a rename is reported by its handle alone, next
      // to the rename that replaced it. Deletions elsewhere on the
      // filesystem are not wanted.
      keep = recentRenameIntoVolume_;
    }
  } else if (!keep && (failed || s.unreadable)) {
    // Where it is cannot be told now: it is looked up again when applied,
    // and changes nothing if it turns out to lie elsewhere.
    record->unresolved = true;
    keep = true;
  } else if (!keep && fd.valid()) {
    // No directory told where the event happened: ask the entry itself.
    std::string path;
    uint64_t parent = 0;
    Status located =
        resolver_->Locate(s.ref, fd.get(), record->directory, &path, &parent);
    if (located.ok() && resolver_->IsInside(path)) {
      keep = true;
      record->parentRef = parent;
    } else if (!located.ok() && !located.IsNotFound()) {
      record->unresolved = true;
      keep = true;
    }
  }
  return keep;
}

}  // namespace dirsync
