#include "catalog/catalog_changes.h"

#include <strings.h>

#include <algorithm>
#include <cassert>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/catalog_store.h"
#include "catalog/entry_links.h"
#include "catalog/record_extension.h"
#include "platform/log.h"
#include "platform/program_dir.h"

namespace dirsync {

void DeferredLog::Add(const char* format, ...) {
  char line[kLogLineSize];
  va_list args;
  va_start(args, format);
  size_t n = FormatLogLineNow(line, sizeof line, format, args);
  va_end(args);
  lines_.emplace_back(line, n);
}

void DeferredLog::Print() {
  for (const std::string& line : lines_) LogPrint("%s", line.c_str());
  lines_.clear();
}

void CatalogEdit::Add(CatalogRecord* entry) {
  if (inEdit.insert(entry).second) changed.push_back(entry);
  assert(changed.size() == inEdit.size());  // each entry once
}

void CatalogEdit::Save(const CatalogRecord& entry) {
  if (!saved.insert(entry.fileRef()).second) return;
  CatalogRecord copy = CatalogRecord::Allocate(entry.length());
  std::memcpy(copy.data(), entry.data(), static_cast<size_t>(entry.length()));
  before.push_back({entry.fileRef(), std::move(copy)});
}

void CatalogEdit::SaveAbsent(uint64_t ref) {
  if (saved.insert(ref).second) before.push_back({ref, CatalogRecord()});
}

namespace {

// The state byte as the log shows it: signed, so 255 prints as -1.
int Signed(uint8_t state) { return static_cast<int8_t>(state); }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         ::strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// Gives entry a block of at least needed bytes. A new block is zero-filled
// and takes the old header; the old block is freed.
void EnsureBlock(CatalogRecord& entry, size_t needed) {
  if (static_cast<size_t>(entry.length()) >= needed) return;
  CatalogRecord bigger = CatalogRecord::Allocate(static_cast<int32_t>(needed));
  std::memcpy(bigger.data(), entry.data(), kRecordHeaderSize);
  record::SetLength(bigger.data(), static_cast<int32_t>(needed));
  entry = std::move(bigger);
}

// Gives entry a new state and name (and, for a rename, the previous name
// behind it) and raises its version by one. With header, the entry first
// takes the 66 header bytes of a change record: its parent, size, times
// and usn, and its type and permissions (the extras behind its names)
// when the change carries them; otherwise the entry keeps its own. It
// keeps its own key; a further name of a file keeps its link trailer.
// name and oldName must not point into entry's block.
void Rewrite(CatalogRecord& entry, const uint8_t* header, uint8_t state,
             std::string_view name, std::string_view oldName) {
  uint32_t version = entry.version();
  EntryExtras extras;
  if (header != nullptr) extras = ReadExtras(header);
  const EntryExtras own = ReadExtras(entry.data());
  if (!extras.present) extras = own;
  // The store judges the mark again by the new name when it writes the
  // entry; kept until then, it is news only when it changes.
  extras.notCarried = own.notCarried;
  const uint64_t key = entry.fileRef();
  const bool linked = HasLinkTrailer(entry.data());
  const uint64_t file = FileOfEntry(entry);
  size_t needed = kRecordHeaderSize + name.size();
  if (state == StateRenamed) needed += oldName.size() + 1;
  if (linked) needed += kLinkTrailerSize;
  EnsureBlock(entry, needed);
  int32_t blockSize = entry.length();
  if (header != nullptr) std::memcpy(entry.data(), header, kRecordHeaderSize);
  record::SetLength(entry.data(), blockSize);
  entry.set_fileRef(key);
  entry.set_state(state);
  entry.set_version(version + 1);
  char* out = entry.mutable_name();
  std::memcpy(out, name.data(), name.size());
  out[name.size()] = '\0';
  if (state == StateRenamed) {
    out += name.size() + 1;
    std::memcpy(out, oldName.data(), oldName.size());
    out[oldName.size()] = '\0';
  }
  WriteExtras(entry, extras);
  // Behind the extras, at the block's end.
  if (linked) StampLinkTrailer(entry, file);
}

// What a file entry becomes when it takes the relative path rel, judged by
// what clients last read of it. An entry added within this edit is still
// unknown to them and stays added. Otherwise they know it by its name, or,
// when it was renamed within this edit, by the previous name its record
// carries: a path differing from that one (letter case aside) makes a
// rename from it, anything else an update.
struct FileOutcome {
  uint8_t state;
  std::string previousName;
};

FileOutcome FileOutcomeFor(const CatalogRecord& entry, std::string_view rel,
                           const CatalogEdit& edit) {
  bool inEdit = edit.Contains(&entry);
  if (inEdit && entry.state() == StateAdded) return {StateAdded, {}};
  std::string_view known = inEdit && entry.state() == StateRenamed
                               ? entry.oldNameView()
                               : entry.nameView();
  if (EqualsIgnoringCase(rel, known)) return {StateUpdated, {}};
  return {StateRenamed, std::string(known)};
}

CatalogRecord* AddEntry(SyncTask& task, const CatalogRecord& change,
                        std::string_view path, CatalogEdit& edit)
    REQUIRES(task.catalogLock) {
  // A change without a path, as every deletion event is, adds nothing.
  if (static_cast<size_t>(change.length()) <= task.rootPath.size() + 70) {
    return nullptr;
  }
  if (!IsBelowRoot(task, path)) return nullptr;
  std::string_view rel = RelativePath(task, path);
  // The root directory itself is no entry of its own catalog.
  if (rel.empty() || IsExcluded(task, rel)) return nullptr;

  CatalogRecord block = CatalogRecord::Allocate(
      static_cast<int32_t>(kRecordHeaderSize + rel.size()));
  int32_t blockSize = block.length();
  std::memcpy(block.data(), change.data(), kRecordHeaderSize);
  record::SetLength(block.data(), blockSize);
  std::memcpy(block.mutable_name(), rel.data(), rel.size());
  block.mutable_name()[rel.size()] = '\0';
  WriteExtras(block, ReadExtras(change.data()));
  // The reference may have been an entry that left and was forgotten:
  // its versions go on rising.
  if (block.version() < task.versionFloor) block.set_version(task.versionFloor);
  edit.log.Add("%D Add: state = %d, name = %s\n", Signed(block.state()),
               block.name());
  edit.SaveAbsent(change.fileRef());
  CatalogRecord& entry = task.entries[change.fileRef()];
  entry = std::move(block);
  edit.Add(&entry);
  return &entry;
}

// header: the 66 header bytes of the change (parent, size, times).
CatalogRecord* UpdateFile(CatalogRecord& entry, const uint8_t* header,
                          std::string_view rel, CatalogEdit& edit) {
  FileOutcome outcome = FileOutcomeFor(entry, rel, edit);
  std::string relText(rel);
  edit.log.Add(outcome.state == StateRenamed
                   ? "%D Rename: old-state = %d, old-name = %s, new-name=%s\n"
                   : "%D Update: old-state = %d, old-name = %s, new-name=%s\n",
               Signed(entry.state()), std::string(entry.nameView()).c_str(),
               relText.c_str());
  edit.Save(entry);
  Rewrite(entry, header, outcome.state, relText, outcome.previousName);
  edit.Add(&entry);
  return &entry;
}

// Marks an entry gone from the task: a file deleted (255), a directory
// departed (7); where is the place it went to, for the log. Its name stays
// the one clients know it by. Returns false when it was gone already.
bool MarkGone(CatalogRecord& entry, bool directory, std::string_view where,
              CatalogEdit& edit) {
  uint8_t target = directory ? StateDirDeleted : StateDeleted;
  if (entry.state() == target) return false;
  edit.log.Add(directory
                   ? "%D Delete Dir: old-state = %d, oldname = %s, newname = %s\n"
                   : "%D Delete File: old-state = %d, oldname = %s, newname = %s\n",
               Signed(entry.state()), std::string(entry.nameView()).c_str(),
               std::string(where).c_str());
  edit.Save(entry);
  entry.set_state(target);
  entry.set_version(entry.version() + 1);
  edit.Add(&entry);
  return true;
}

// The live directories below dirRef, dirRef included, by the parent
// references their entries hold now: changes already applied in this edit
// count, and the directory index, which an edit brings up to date only
// when it writes, does not. Each directory is visited once, so cycles end.
std::unordered_set<uint64_t> LiveDirectoriesBelow(const SyncTask& task,
                                                  uint64_t dirRef)
    REQUIRES_SHARED(task.catalogLock) {
  std::unordered_map<uint64_t, std::vector<uint64_t>> children;
  for (const auto& [ref, entry] : task.entries) {
    if (entry.state() == StateDirectory) children[entry.parentRef()].push_back(ref);
  }
  std::unordered_set<uint64_t> below{dirRef};
  std::vector<uint64_t> toVisit{dirRef};
  while (!toVisit.empty()) {
    auto found = children.find(toVisit.back());
    toVisit.pop_back();
    if (found == children.end()) continue;
    for (uint64_t child : found->second) {
      if (below.insert(child).second) toVisit.push_back(child);
    }
  }
  return below;
}

// Every live file and directory below the directory (by parent reference)
// whose path lies below oldPath takes newPath in its place, with a record
// of its own: files as renames (updates when only letter case changed),
// directories in state 6. Entries elsewhere are left alone even when their
// paths begin alike, as those of a new directory that took the old name in
// the same batch do, and so are entries this edit has already placed below
// newPath. An entry whose new path the task excludes leaves the
// catalog instead, as if it had left the root. Deleted entries keep the
// path under which they were deleted.
void MoveSubtree(SyncTask& task, const CatalogRecord& directory,
                 const std::string& oldPath, const std::string& newPath,
                 CatalogEdit& edit) REQUIRES(task.catalogLock) {
  std::string oldPrefix = oldPath + '\\';
  std::string newPrefix = newPath + '\\';
  std::unordered_set<uint64_t> below = LiveDirectoriesBelow(task, directory.fileRef());
  for (auto& [ref, entry] : task.entries) {
    if (&entry == &directory) continue;
    uint8_t state = entry.state();
    if (!IsLiveFileState(state) && state != StateDirectory) continue;
    if (below.count(entry.parentRef()) == 0) continue;
    // One whose recorded path does not lie below the old one has drifted;
    // the journal monitor resolves it again by its reference.
    std::string_view name = entry.nameView();
    if (!StartsWithIgnoringCase(name, oldPrefix)) continue;
    // Placed by this edit below the new path already: its path was
    // resolved after the move. A directory that moved below its own old
    // name ("a" -> "a\b") would otherwise put the new path in front twice.
    if (edit.Contains(&entry) && name.substr(0, newPrefix.size()) == newPrefix) {
      continue;
    }
    std::string oldName(name);
    std::string newName = newPrefix + oldName.substr(oldPrefix.size());
    if (IsExcluded(task, newName)) {
      MarkGone(entry, state == StateDirectory, newName, edit);
      continue;
    }
    if (state == StateDirectory) {
      edit.log.Add("%D Rename: old-state = %d, old-name = %s, new-name=%s\n",
                   Signed(state), oldName.c_str(), newName.c_str());
      edit.Save(entry);
      Rewrite(entry, nullptr, StateDirectory, newName, {});
    } else {
      FileOutcome outcome = FileOutcomeFor(entry, newName, edit);
      edit.log.Add(
          outcome.state == StateRenamed
              ? "%D Rename: old-state = %d, old-name = %s, new-name=%s\n"
              : "%D Update: old-state = %d, old-name = %s, new-name=%s\n",
          Signed(state), oldName.c_str(), newName.c_str());
      edit.Save(entry);
      Rewrite(entry, nullptr, outcome.state, newName, outcome.previousName);
    }
    edit.Add(&entry);
  }
}

// A directory that stays in the root is recorded only when it moved: to
// another path (letter case included), taking its subtree along, or under
// another parent; or when its type or permissions changed (a record in
// state 6 at the same path). Other directory changes record nothing. A directory that
// had left the root (state 7) and is below it again returns to state 6.
CatalogRecord* MoveDirectory(SyncTask& task, CatalogRecord& entry,
                             const CatalogRecord& change, std::string_view rel,
                             CatalogEdit& edit) REQUIRES(task.catalogLock) {
  if (entry.state() == StateDirDeleted) {
    // A directory that left the root and came back is a directory of the
    // root again, so that its next departure carries down to its files.
    std::string oldPath(entry.nameView());
    std::string newPath(rel);
    edit.log.Add("%D Rename Dir: old-name = %s, new-name=%s\n",
                 oldPath.c_str(), newPath.c_str());
    edit.Save(entry);
    Rewrite(entry, change.data(), StateDirectory, newPath, {});
    edit.Add(&entry);
    return &entry;
  }
  if (entry.state() != StateDirectory) return nullptr;
  std::string oldPath(entry.nameView());
  std::string newPath(rel);
  bool pathChanged = oldPath != newPath;
  EntryExtras extras = ReadExtras(change.data());
  bool permissionsChanged = extras.present && extras != ReadExtras(entry.data());
  if (!pathChanged && change.parentRef() == entry.parentRef()) {
    if (!permissionsChanged) return nullptr;
    edit.log.Add("%D Update Dir: name = %s, mode = 0%o\n", oldPath.c_str(),
                 static_cast<int>(extras.mode));
    edit.Save(entry);
    Rewrite(entry, change.data(), StateDirectory, newPath, {});
    edit.Add(&entry);
    return &entry;
  }
  edit.log.Add("%D Rename Dir: old-name = %s, new-name=%s\n", oldPath.c_str(),
               newPath.c_str());
  edit.Save(entry);
  Rewrite(entry, change.data(), StateDirectory, newPath, {});
  edit.Add(&entry);
  if (pathChanged) MoveSubtree(task, entry, oldPath, newPath, edit);
  return &entry;
}

CatalogRecord* DeleteEntry(CatalogRecord& entry, const CatalogRecord& change,
                           std::string_view path, CatalogEdit& edit) {
  bool directory = IsDirectoryState(change.state());
  return MarkGone(entry, directory, path, edit) ? &entry : nullptr;
}

// One name of a name-set change below the task's root.
struct WantedName {
  std::string rel;
  uint64_t parentRef;
  bool taken = false;
};

// Brings the entry of one name of a file up to the change: its size and
// times, and rel and parentRef as the name's place. With confirm, an entry
// that already says all that is left alone.
void UpdateName(CatalogRecord& entry, const CatalogRecord& change,
                const WantedName& name, bool confirm, CatalogEdit& edit) {
  const EntryExtras extras = ReadExtras(change.data());
  if (confirm && entry.nameView() == name.rel &&
      entry.parentRef() == name.parentRef &&
      entry.fileSize() == change.fileSize() &&
      entry.lastWriteTime() == change.lastWriteTime() &&
      (!extras.present || extras == ReadExtras(entry.data()))) {
    return;
  }
  // The whole change, so that its type and permissions come along, under
  // this name's parent.
  CatalogRecord placed = CatalogRecord::Allocate(change.length());
  std::memcpy(placed.data(), change.data(), static_cast<size_t>(change.length()));
  placed.set_parentRef(name.parentRef);
  UpdateFile(entry, placed.data(), name.rel, edit);
}

// A name of file the catalog lacks becomes an entry: keyed by the file's
// reference when the catalog holds no entry of it, else by a key of its
// own (LinkKey). A deleted entry of the same file under that key (the name
// came back) is taken up again.
CatalogRecord* AddName(SyncTask& task, const CatalogRecord& change,
                       const WantedName& name, CatalogEdit& edit)
    REQUIRES(task.catalogLock) {
  const uint64_t file = change.fileRef();
  uint64_t key = file;
  auto own = task.entries.find(file);
  if (own != task.entries.end()) {
    if (own->second.state() == StateDeleted) {
      UpdateName(own->second, change, name, false, edit);
      return &own->second;
    }
    for (uint32_t attempt = 0;; ++attempt) {
      key = LinkKey(file, name.parentRef, name.rel, attempt);
      if (key == 0 || key == file || key == kSealTag) continue;
      auto taken = task.entries.find(key);
      if (taken == task.entries.end()) break;
      CatalogRecord& earlier = taken->second;
      if (FileOfEntry(earlier) == file && earlier.state() == StateDeleted) {
        UpdateName(earlier, change, name, false, edit);
        return &earlier;
      }
    }
  }
  size_t size = kRecordHeaderSize + name.rel.size() + LinkTrailerRoom(file, key);
  CatalogRecord block = CatalogRecord::Allocate(static_cast<int32_t>(size));
  std::memcpy(block.data(), change.data(), kRecordHeaderSize);
  record::SetLength(block.data(), static_cast<int32_t>(size));
  block.set_fileRef(key);
  block.set_parentRef(name.parentRef);
  block.set_state(StateAdded);
  std::memcpy(block.mutable_name(), name.rel.data(), name.rel.size());
  WriteExtras(block, ReadExtras(change.data()));
  if (key != file) StampLinkTrailer(block, file);
  edit.log.Add("%D Add: state = %d, name = %s\n", Signed(block.state()),
               block.name());
  edit.SaveAbsent(key);
  CatalogRecord& entry = task.entries[key];
  entry = std::move(block);
  EnterLink(task, file, key);
  edit.Add(&entry);
  return &entry;
}

// Applies a change that lists every name of its file: each live entry of
// the file whose name is listed is updated (with confirm, only where it
// differs), the others take the listed names no entry holds (a rename of
// one name), and what is left over is deleted (entries) or added (names).
// Returns the entry of the change's first name, or null.
CatalogRecord* ApplyNameSet(SyncTask& task, const CatalogRecord& change,
                            const std::vector<LinkName>& names, bool confirm,
                            CatalogEdit& edit) REQUIRES(task.catalogLock) {
  if (change.usn() > task.lastUsn) task.lastUsn = change.usn();
  std::vector<WantedName> wanted;
  for (const LinkName& name : names) {
    if (!IsBelowRoot(task, name.path)) continue;
    std::string_view rel = RelativePath(task, name.path);
    if (rel.empty() || IsExcluded(task, rel)) continue;
    bool known = std::any_of(wanted.begin(), wanted.end(),
                             [&](const WantedName& w) { return w.rel == rel; });
    if (!known) wanted.push_back({std::string(rel), name.parentRef});
  }
  std::string_view first =
      IsBelowRoot(task, names[0].path) ? RelativePath(task, names[0].path)
                                       : std::string_view();
  CatalogRecord* result = nullptr;
  auto note = [&](CatalogRecord* entry) {
    if (entry != nullptr && entry->nameView() == first) result = entry;
  };
  std::vector<CatalogRecord*> unmatched;
  for (uint64_t key : KeysOfFile(task, change.fileRef())) {
    CatalogRecord& entry = task.entries.find(key)->second;
    if (!IsLiveFileState(entry.state())) continue;
    auto same = std::find_if(wanted.begin(), wanted.end(), [&](const WantedName& w) {
      return !w.taken && w.rel == entry.nameView();
    });
    if (same == wanted.end()) {
      unmatched.push_back(&entry);
      continue;
    }
    same->taken = true;
    UpdateName(entry, change, *same, confirm, edit);
    note(&entry);
  }
  auto untaken = wanted.begin();
  auto nextUntaken = [&]() {
    while (untaken != wanted.end() && untaken->taken) ++untaken;
    return untaken;
  };
  for (CatalogRecord* entry : unmatched) {
    auto name = nextUntaken();
    if (name == wanted.end()) {
      MarkGone(*entry, false, names[0].path, edit);
      continue;
    }
    name->taken = true;
    UpdateName(*entry, change, *name, false, edit);
    note(entry);
  }
  for (auto name = nextUntaken(); name != wanted.end(); name = nextUntaken()) {
    name->taken = true;
    note(AddName(task, change, *name, edit));
  }
  return result;
}

// A file that no longer exists takes every name with it.
void MarkFurtherNamesGone(SyncTask& task, const CatalogRecord& change,
                          CatalogEdit& edit) REQUIRES(task.catalogLock) {
  auto links = task.links.find(change.fileRef());
  if (links == task.links.end()) return;
  for (uint64_t key : links->second) {
    auto entry = task.entries.find(key);
    if (entry == task.entries.end()) continue;
    if (IsLiveFileState(entry->second.state())) {
      MarkGone(entry->second, false, change.nameView(), edit);
    }
  }
}

// Takes dirRef out of the directory index, where an entry that is no
// directory (or no entry at all) must not be.
void ForgetDirectory(SyncTask& task, uint64_t dirRef) REQUIRES(task.catalogLock) {
  auto parent = task.dirParent.find(dirRef);
  if (parent == task.dirParent.end()) return;
  auto siblings = task.dirIndex.find(parent->second);
  if (siblings != task.dirIndex.end()) {
    siblings->second.erase(dirRef);
    if (siblings->second.empty()) task.dirIndex.erase(siblings);
  }
  task.dirParent.erase(parent);
}

// Writes the entries of an edit in order, each followed by the files its
// directory's departure marks. Records are staged under the lock. In
// one-write-per-batch mode they are committed once, at the end; in
// one-write-per-record mode after each record. The lock is released for
// every commit and held again afterwards. After a failed commit nothing
// more is written, and Finish puts every entry whose last record is not on
// disk back to what the disk holds of it: its last record written, or what
// it was before the edit. Finish returns with the lock released and the
// failure, if any. The lock changes hands through the caller's WriterLock,
// which the analysis cannot follow into this class.
class EditWriter {
 public:
  EditWriter(SyncTask& task, WriterLock& lock, CatalogEdit& edit,
             StoreWriteMode mode)
      : task_(task), lock_(lock), edit_(edit), mode_(mode) {}

  void Write(CatalogRecord& entry) NO_THREAD_SAFETY_ANALYSIS {
    if (!failure_.ok()) return;
    StageRecord(task_.store, entry, false);
    if (mode_ == StoreWriteMode::kOneWritePerRecord) {
      lock_.Unlock();
      Status written = CommitStaged(task_.store);
      lock_.Lock();
      if (!written.ok()) {
        failure_ = written;
        return;
      }
      // What the disk now holds of the entry, should a later record of the
      // edit fail.
      CatalogRecord copy = CatalogRecord::Allocate(entry.length());
      std::memcpy(copy.data(), entry.data(), static_cast<size_t>(entry.length()));
      onDisk_[entry.fileRef()] = std::move(copy);
    }
  }

  Status Finish(int64_t lastUsn, uint32_t positionSavedOn)
      NO_THREAD_SAFETY_ANALYSIS {
    if (failure_.ok() && mode_ == StoreWriteMode::kOneWritePerBatch) {
      lock_.Unlock();
      failure_ = CommitStaged(task_.store);
      if (failure_.ok()) {
        edit_.log.Print();
        return failure_;
      }
      lock_.Lock();
    }
    if (failure_.ok()) {
      lock_.Unlock();
      edit_.log.Print();
      return failure_;
    }
    RollBack(lastUsn, positionSavedOn);
    lock_.Unlock();
    return failure_;
  }

 private:
  // Puts back what the disk does not hold. Called with the lock held.
  void RollBack(int64_t lastUsn, uint32_t positionSavedOn)
      NO_THREAD_SAFETY_ANALYSIS {
    for (CatalogEdit::Before& was : edit_.before) {
      auto written = onDisk_.find(was.ref);
      CatalogRecord restored = written != onDisk_.end()
                                   ? std::move(written->second)
                                   : std::move(was.record);
      if (!restored) {
        auto added = task_.entries.find(was.ref);
        if (added != task_.entries.end() && HasLinkTrailer(added->second.data())) {
          ForgetLink(task_, FileOfEntry(added->second), was.ref);
        }
        task_.entries.erase(was.ref);
        ForgetDirectory(task_, was.ref);
        continue;
      }
      CatalogRecord& entry = task_.entries[was.ref];
      entry = std::move(restored);
      if (IsDirectoryState(entry.state())) {
        EnterDirectory(task_, was.ref, entry.parentRef());
      } else {
        ForgetDirectory(task_, was.ref);
      }
    }
    task_.lastUsn = lastUsn;
    task_.positionSavedOn = positionSavedOn;
  }

  SyncTask& task_;
  WriterLock& lock_;
  CatalogEdit& edit_;
  StoreWriteMode mode_;
  Status failure_;
  std::unordered_map<uint64_t, CatalogRecord> onDisk_;
};

// The order in which an edit's entries reach the store, so that a client
// that applies the records one after the other passes through sensible
// trees: first the entries that left (a directory replaced by another one
// renamed onto it is gone before the newcomer takes its name), then the
// directories, parents before children, then the files, which thus find
// their directories in place. Entries of one kind keep the edit's order.
std::vector<CatalogRecord*> WritingOrder(const CatalogEdit& edit) {
  auto rank = [](const CatalogRecord* entry) {
    uint8_t state = entry->state();
    if (state == StateDeleted || state == StateDirDeleted) return size_t{0};
    if (state != StateDirectory) return std::numeric_limits<size_t>::max();
    std::string_view name = entry->nameView();
    return 1 + static_cast<size_t>(std::count(name.begin(), name.end(), '\\'));
  };
  std::vector<CatalogRecord*> order = edit.changed;
  std::stable_sort(order.begin(), order.end(),
                   [&](const CatalogRecord* a, const CatalogRecord* b) {
                     return rank(a) < rank(b);
                   });
  return order;
}

// Writes and indexes an edit's entries in WritingOrder; with stampUsn the
// last one carries that journal position. lastUsnBefore is the task's
// position before the edit's changes were applied, put back when the
// records do not reach the store. Called with the lock held; returns with
// it released.
Status WriteEdit(SyncTask& task, WriterLock& lock, CatalogEdit& edit,
                 StoreWriteMode mode, const int64_t* stampUsn, uint32_t today,
                 int64_t lastUsnBefore)
    REQUIRES(task.catalogLock) NO_THREAD_SAFETY_ANALYSIS {
  const uint32_t savedOnBefore = task.positionSavedOn;
  EditWriter writer(task, lock, edit, mode);
  // Every directory of the edit takes its new place in the index before
  // any departure is carried down: a directory that moved out from under a
  // departing one in the same batch must not be taken along.
  for (const CatalogRecord* entry : edit.changed) {
    if (IsDirectoryState(entry->state())) {
      EnterDirectory(task, entry->fileRef(), entry->parentRef());
    }
  }
  std::vector<CatalogRecord*> marked;
  std::vector<CatalogRecord*> order = WritingOrder(edit);
  std::vector<uint64_t> departed;
  auto noteDeparted = [&departed](const CatalogRecord& entry) {
    if (!IsLiveFileState(entry.state()) && entry.state() != StateDirectory) {
      departed.push_back(entry.fileRef());
    }
  };
  size_t count = order.size();
  assert(count == edit.changed.size());
  for (size_t i = 0; i < count; ++i) {
    CatalogRecord& entry = *order[i];
    if (stampUsn != nullptr && i + 1 == count) {
      entry.set_usn(*stampUsn);
      task.positionSavedOn = today;
    }
    writer.Write(entry);
    noteDeparted(entry);
    marked.clear();
    IndexDirectory(task, entry, true, &edit, &marked);
    for (CatalogRecord* file : marked) {
      writer.Write(*file);
      noteDeparted(*file);
    }
  }
  Status written = writer.Finish(lastUsnBefore, savedOnBefore);
  // Entries that left the tree are forgotten once their records are on
  // disk; after a failure they are as the disk holds them and stay.
  if (written.ok()) {
    task.departed.insert(task.departed.end(), departed.begin(), departed.end());
  }
  return written;
}

}  // namespace

bool TellsSomethingNew(const SyncTask& task, const CatalogRecord& change) {
  if (change.state() != StateAdded) return true;
  // A file with several names: the application compares each name.
  std::vector<LinkName> names;
  if (ReadNameSet(change, &names)) return true;
  const CatalogRecord* entry = FindEntry(task, change.fileRef());
  if (entry == nullptr || !IsLiveFileState(entry->state())) return true;
  std::string_view path = change.nameView();
  if (!IsBelowRoot(task, path)) return true;
  return RelativePath(task, path) != entry->nameView() ||
         change.parentRef() != entry->parentRef() ||
         change.fileSize() != entry->fileSize() ||
         change.lastWriteTime() != entry->lastWriteTime() ||
         ReadExtras(change.data()) != ReadExtras(entry->data());
}

namespace {

// Applies change to task unless confirmOnly is set and it tells the
// catalog nothing new.
void ApplyOrConfirm(SyncTask& task, const CatalogRecord& change,
                    bool confirmOnly, CatalogEdit& edit)
    REQUIRES(task.catalogLock) {
  std::vector<LinkName> names;
  if (ReadNameSet(change, &names)) {
    ApplyNameSet(task, change, names, confirmOnly, edit);
    return;
  }
  if (confirmOnly && !TellsSomethingNew(task, change)) return;
  ApplyChange(task, change, edit);
}

}  // namespace

CatalogRecord* ApplyChange(SyncTask& task, const CatalogRecord& change,
                           CatalogEdit& edit) {
  std::vector<LinkName> names;
  if (ReadNameSet(change, &names)) {
    return ApplyNameSet(task, change, names, false, edit);
  }
  if (change.usn() > task.lastUsn) task.lastUsn = change.usn();
  if (change.state() == StateDeleted) MarkFurtherNamesGone(task, change, edit);
  std::string_view path = change.nameView();
  CatalogRecord* entry = FindEntry(task, change.fileRef());
  if (entry == nullptr) return AddEntry(task, change, path, edit);

  // A place the task excludes is outside its tree: an entry that moves
  // there leaves the catalog as if it had left the root.
  if (change.state() != StateDeleted && IsBelowRoot(task, path) &&
      !IsExcluded(task, RelativePath(task, path))) {
    std::string_view rel = RelativePath(task, path);
    if (IsDirectoryState(change.state())) {
      return MoveDirectory(task, *entry, change, rel, edit);
    }
    return UpdateFile(*entry, change.data(), rel, edit);
  }
  return DeleteEntry(*entry, change, path, edit);
}

void IndexDirectory(SyncTask& task, const CatalogRecord& entry, bool cascade,
                    CatalogEdit* edit, std::vector<CatalogRecord*>* marked) {
  if (!IsDirectoryState(entry.state())) return;
  EnterDirectory(task, entry.fileRef(), entry.parentRef());
  if (!cascade || entry.state() != StateDirDeleted) return;

  std::unordered_set<uint64_t> subtree;
  CollectSubtree(task, entry.fileRef(), subtree);
  for (auto& [ref, below] : task.entries) {
    if (IsLiveFileState(below.state())) {
      if (subtree.count(below.parentRef()) == 0) continue;
      edit->Save(below);
      below.set_state(StateDeleted);
    } else if (below.state() == StateDirectory) {
      // The directories below leave with it: left as directories, they
      // would stay in the catalog under a path that no longer exists.
      if (ref == entry.fileRef() || subtree.count(ref) == 0) continue;
      edit->Save(below);
      below.set_state(StateDirDeleted);
    } else {
      continue;
    }
    below.set_version(below.version() + 1);
    marked->push_back(&below);
    edit->log.Add("%D DelDir: %L -> %s\n", static_cast<int64_t>(ref),
                  std::string(below.nameView()).c_str());
  }
}

void CollectSubtree(const SyncTask& task, uint64_t dirRef,
                    std::unordered_set<uint64_t>& subtree) {
  std::vector<uint64_t> toVisit{dirRef};
  subtree.insert(dirRef);
  while (!toVisit.empty()) {
    uint64_t ref = toVisit.back();
    toVisit.pop_back();
    auto children = task.dirIndex.find(ref);
    if (children == task.dirIndex.end()) continue;
    for (uint64_t child : children->second) {
      if (subtree.insert(child).second) toVisit.push_back(child);
    }
  }
}

Status ApplyPendingChanges(TaskMap& tasks, PendingChanges& pending,
                           int64_t stampUsn, StoreWriteMode mode,
                           const BatchExtras& extras,
                           const std::unordered_set<uint64_t>* confirmOnly) {
  Status firstFailure;
  if (pending.empty()) return firstFailure;
  uint32_t today = static_cast<uint32_t>(TodayAsNumber());
  std::vector<CatalogRecord> extra;
  for (auto& [name, taskPointer] : tasks) {
    SyncTask& task = *taskPointer;
    // A task whose store is not open takes no change: it is caught up
    // against the tree once its store opens.
    if (!task.storeOpen.load(std::memory_order_acquire)) continue;
    CatalogEdit edit;
    extra.clear();
    if (extras) extras(task, &extra);
    WriterLock lock(&task.catalogLock);
    const int64_t lastUsnBefore = task.lastUsn;
    for (auto& [ref, change] : pending) {
      ApplyOrConfirm(task, change,
                     confirmOnly != nullptr && confirmOnly->count(ref) != 0,
                     edit);
    }
    for (const CatalogRecord& change : extra) {
      ApplyOrConfirm(task, change, true, edit);
    }
    if (edit.changed.empty()) continue;
    // A task waiting for its rebuild records no position: its catalog may
    // lack changes from before this batch.
    const bool stamp = stampUsn != 0 && !task.needsRebuild.load();
    int64_t usn = stampUsn;
    Status written = WriteEdit(task, lock, edit, mode, stamp ? &usn : nullptr,
                               today, lastUsnBefore);
    // The position is what the store records once the batch is on disk.
    if (written.ok() && stamp && usn > task.lastUsn) task.lastUsn = usn;
    if (!written.ok() && firstFailure.ok()) firstFailure = written;
  }
  return firstFailure;
}

Status ApplyCatchUpChange(TaskMap& tasks, const CatalogRecord& change,
                          StoreWriteMode mode, const BatchExtras& extras) {
  Status firstFailure;
  std::vector<CatalogRecord> extra;
  for (auto& [name, taskPointer] : tasks) {
    SyncTask& task = *taskPointer;
    if (!task.storeOpen.load(std::memory_order_acquire)) continue;
    CatalogEdit edit;
    extra.clear();
    if (extras) extras(task, &extra);
    WriterLock lock(&task.catalogLock);
    const int64_t lastUsnBefore = task.lastUsn;
    ApplyChange(task, change, edit);
    for (const CatalogRecord& more : extra) ApplyOrConfirm(task, more, true, edit);
    if (edit.changed.empty()) continue;
    Status written =
        WriteEdit(task, lock, edit, mode, nullptr, 0, lastUsnBefore);
    if (!written.ok() && firstFailure.ok()) firstFailure = written;
  }
  return firstFailure;
}

bool RecordJournalPosition(TaskMap& tasks, int64_t usn, bool force) {
  bool recorded = false;
  uint32_t today = static_cast<uint32_t>(TodayAsNumber());
  for (auto& [name, taskPointer] : tasks) {
    SyncTask& task = *taskPointer;
    if (!task.storeOpen.load(std::memory_order_acquire)) continue;
    if (task.lastUsn < usn && !task.needsRebuild.load() &&
        (force || task.positionSavedOn != today)) {
      if (WriteMarker(task.store, usn, StateFiller, 0, false).ok()) {
        task.lastUsn = usn;
        task.positionSavedOn = today;
        recorded = true;
      }
    }
    Status synced = SyncStore(task.store);
    if (!synced.ok()) {
      LogPrint("%D store %s: fdatasync failed: %s\n", task.store.path.c_str(),
               synced.ToString().c_str());
    }
  }
  return recorded;
}

}  // namespace dirsync
