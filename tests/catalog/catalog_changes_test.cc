#include "catalog/catalog_changes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/log.h"
#include "store_test_util.h"
#include "catalog/catalog_store.h"
#include "catalog/record_extension.h"
#include "catalog/store_compaction.h"
#include "platform/program_dir.h"
#include "tracking/volume_watch.h"

namespace dirsync {
namespace {

using testing_util::MakeRecord;
using testing_util::ReadFileBytes;
using testing_util::StoreContents;
using testing_util::StoredRecord;

std::string InRoot(const std::string& rel) { return "\\\\?\\D:\\DATA\\" + rel; }

// A change record as the journal monitor builds it.
CatalogRecord Change(uint64_t ref, uint64_t parent, uint8_t state,
                     const std::string& fullPath, uint64_t size) {
  CatalogRecord r = CatalogRecord::Allocate(kChangeRecordSize);
  r.set_fileRef(ref);
  r.set_parentRef(parent);
  r.set_state(state);
  if (state == StateAdded) {
    r.set_fileSize(size);
    r.set_creationTime(1000);
    r.set_lastWriteTime(2000 + size);
  }
  std::copy(fullPath.begin(), fullPath.end(), r.mutable_name());
  return r;
}
CatalogRecord FileChange(uint64_t ref, uint64_t parent, const std::string& path,
                         uint64_t size = 1) {
  return Change(ref, parent, StateAdded, path, size);
}
CatalogRecord DirChange(uint64_t ref, uint64_t parent,
                        const std::string& path) {
  return Change(ref, parent, StateDirectory, path, 0);
}
CatalogRecord DeletionEvent(uint64_t ref, uint64_t parent) {
  CatalogRecord r = CatalogRecord::Allocate(kRecordHeaderSize);
  r.set_fileRef(ref);
  r.set_parentRef(parent);
  r.set_state(StateDeleted);
  return r;
}

// Applies a volume's pending changes as its flush thread does (the batch
// mode), or in the given mode.
void ApplyPendingChanges(
    VolumeWatch& volume, StoreWriteMode mode = StoreWriteMode::kOneWritePerBatch) {
  MutexLock guard(&volume.lock);
  if (mode == StoreWriteMode::kOneWritePerBatch) {
    volume.ApplyPending();
    return;
  }
  ApplyPendingChanges(volume.tasks, volume.pending, volume.lastReadUsn, mode)
      .IgnoreError();
  volume.pending.clear();
}

void ApplyCatchUpChange(VolumeWatch& volume, const CatalogRecord& change) {
  ApplyCatchUpChange(volume.tasks, change).IgnoreError();
}

class CatalogChangesTest : public testing_util::TrackingTest {
 protected:
  SyncTask& AddTask(VolumeWatch& volume, const std::string& name,
                    const std::string& root, const std::string& excludes = "") {
    std::unique_ptr<SyncTask>& slot = volume.tasks[name];
    slot = OpenTask(name, root, excludes, Stores());
    return *slot;
  }
  SyncTask& AddTask(const std::string& name,
                    const std::string& root = "D:\\DATA\\",
                    const std::string& excludes = "") {
    return AddTask(volume_, name, root, excludes);
  }

  void Apply(const CatalogRecord& change) {
    ApplyCatchUpChange(volume_, change);
  }
  void Pend(CatalogRecord change) {
    uint64_t ref = change.fileRef();
    volume_.pending[ref] = std::move(change);
  }

  // Entry records written to task's store after the first `skip`.
  static std::vector<StoredRecord> EntryRecords(const SyncTask& task,
                                                size_t skip = 0) {
    std::vector<StoredRecord> all = StoreContents(task.store.path).Entries();
    return std::vector<StoredRecord>(all.begin() + std::min(skip, all.size()),
                                     all.end());
  }

  static const CatalogRecord& Entry(SyncTask& task, uint64_t ref) {
    static const CatalogRecord none;
    const CatalogRecord* e = FindEntry(task, ref);
    EXPECT_NE(e, nullptr) << "no entry " << ref;
    return e != nullptr ? *e : none;
  }

  VolumeWatch volume_{'D', 10000};
};

TEST_F(CatalogChangesTest, FileAddedUpdatedRenamedAndDeleted) {
  SyncTask& task = AddTask("docs");
  Apply(FileChange(100, 5, InRoot("a.txt"), 10));
  EXPECT_EQ(Entry(task, 100).state(), StateAdded);
  EXPECT_EQ(Entry(task, 100).version(), 0u);
  EXPECT_EQ(Entry(task, 100).length(), 66 + 5);
  EXPECT_EQ(log_.Matching(" Add: state = 1, name = a.txt\n").size(), 1u);

  Apply(FileChange(100, 5, InRoot("a.txt"), 20));
  EXPECT_EQ(Entry(task, 100).state(), StateUpdated);
  EXPECT_EQ(Entry(task, 100).fileSize(), 20u);
  EXPECT_EQ(log_.Matching(" Update: old-state = 1, old-name = a.txt, "
                          "new-name=a.txt\n")
                .size(),
            1u);

  Apply(FileChange(100, 6, InRoot("sub\\b.txt"), 20));
  const CatalogRecord& renamed = Entry(task, 100);
  EXPECT_EQ(renamed.state(), StateRenamed);
  EXPECT_EQ(renamed.parentRef(), 6u);
  EXPECT_EQ(renamed.nameView(), "sub\\b.txt");
  EXPECT_EQ(renamed.oldNameView(), "a.txt");
  EXPECT_EQ(log_.Matching(" Rename: old-state = 2, old-name = a.txt, "
                          "new-name=sub\\b.txt\n")
                .size(),
            1u);

  Apply(FileChange(100, 6, InRoot("SUB\\B.TXT"), 20));  // letter case only
  EXPECT_EQ(Entry(task, 100).state(), StateUpdated);
  EXPECT_EQ(Entry(task, 100).nameView(), "SUB\\B.TXT");

  Apply(DeletionEvent(100, 6));
  EXPECT_EQ(Entry(task, 100).state(), StateDeleted);
  EXPECT_EQ(Entry(task, 100).version(), 4u);
  EXPECT_EQ(log_.Matching(" Delete File: old-state = 2, oldname = SUB\\B.TXT, "
                          "newname = \n")
                .size(),
            1u);

  std::vector<StoredRecord> records = EntryRecords(task);
  ASSERT_EQ(records.size(), 5u);
  const uint8_t states[] = {1, 2, 3, 2, 255};
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].state, states[i]);
    EXPECT_EQ(records[i].version, i);
    // Header 1, its seal 2; then each write's record and seal.
    EXPECT_EQ(records[i].sequence, static_cast<int64_t>(2 * i) + 3);
  }
  EXPECT_EQ(records[2].name, "sub\\b.txt");
  EXPECT_EQ(records[2].oldName, "a.txt");

  log_.Clear();
  Apply(DeletionEvent(100, 6));  // already deleted
  EXPECT_EQ(EntryRecords(task).size(), 5u);
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(CatalogChangesTest, PathsOutsideTheRootDeleteOrAddNothing) {
  SyncTask& task = AddTask("docs", "D:\\DATA\\", "Temp");
  Apply(FileChange(100, 5, InRoot("a.txt")));
  Apply(FileChange(100, 9, "\\\\?\\E:\\OTHER\\a.txt"));  // moved out
  EXPECT_EQ(Entry(task, 100).state(), StateDeleted);
  EXPECT_EQ(log_.Matching(" Delete File: old-state = 1, oldname = a.txt, "
                          "newname = \\\\?\\E:\\OTHER\\a.txt\n")
                .size(),
            1u);

  log_.Clear();
  size_t records = EntryRecords(task).size();
  Apply(DeletionEvent(555, 5));                       // never recorded
  Apply(FileChange(556, 5, "\\\\?\\E:\\OTHER\\x"));   // outside
  Apply(FileChange(557, 5, InRoot("temp\\x.log")));   // excluded
  Apply(DirChange(558, 1, "\\\\?\\D:\\DATA"));         // the root itself
  Apply(DirChange(559, 1, "\\\\?\\D:\\DATA\\"));
  EXPECT_EQ(task.entries.size(), 1u);
  EXPECT_EQ(EntryRecords(task).size(), records);
  EXPECT_TRUE(log_.Lines().empty());

  Apply(FileChange(556, 5, InRoot("in.txt")));  // moved into the root
  EXPECT_EQ(Entry(task, 556).state(), StateAdded);
}

class DirectoryTreeTest : public CatalogChangesTest {
 protected:
  // A\ (10) with A\S (11), files A\f1 (20), A\S\f2 (21), deleted A\gone
  // (22); B\ (12) with B\C (13) and B\x (30); a file A.txt (31) in the root.
  void SetUp() override {
    CatalogChangesTest::SetUp();
    task_ = &AddTask("docs");
    Apply(DirChange(10, 1, InRoot("A")));
    Apply(DirChange(11, 10, InRoot("A\\S")));
    Apply(DirChange(12, 1, InRoot("B")));
    Apply(DirChange(13, 12, InRoot("B\\C")));
    Apply(FileChange(20, 10, InRoot("A\\f1")));
    Apply(FileChange(21, 11, InRoot("A\\S\\f2")));
    Apply(FileChange(22, 10, InRoot("A\\gone")));
    Apply(DeletionEvent(22, 10));
    Apply(FileChange(30, 12, InRoot("B\\x")));
    Apply(FileChange(31, 1, InRoot("A.txt")));
    written_ = EntryRecords(*task_).size();
    log_.Clear();
  }

  // Records written since the last call, by file reference.
  std::map<uint64_t, StoredRecord> NewRecords() {
    std::vector<StoredRecord> records = EntryRecords(*task_, written_);
    written_ += records.size();
    std::map<uint64_t, StoredRecord> byRef;
    for (const StoredRecord& r : records) {
      EXPECT_EQ(byRef.count(r.fileRef), 0u) << "two records of " << r.fileRef;
      byRef[r.fileRef] = r;
    }
    return byRef;
  }

  SyncTask* task_ = nullptr;
  size_t written_ = 0;
};

TEST_F(DirectoryTreeTest, RenamedDirectoryTakesItsSubtreeAlong) {
  Apply(DirChange(10, 1, InRoot("A2")));
  std::map<uint64_t, StoredRecord> records = NewRecords();
  ASSERT_EQ(records.size(), 4u);  // A2, A2\S, A2\f1, A2\S\f2
  EXPECT_EQ(records[10].state, StateDirectory);
  EXPECT_EQ(records[10].name, "A2");
  EXPECT_EQ(records[10].version, 1u);
  EXPECT_EQ(records[11].state, StateDirectory);
  EXPECT_EQ(records[11].name, "A2\\S");
  EXPECT_EQ(records[20].state, StateRenamed);
  EXPECT_EQ(records[20].name, "A2\\f1");
  EXPECT_EQ(records[20].oldName, "A\\f1");
  EXPECT_EQ(records[21].name, "A2\\S\\f2");
  EXPECT_EQ(records[21].oldName, "A\\S\\f2");
  EXPECT_EQ(records[21].version, 1u);
  EXPECT_EQ(Entry(*task_, 22).nameView(), "A\\gone");  // deleted: left alone
  EXPECT_EQ(Entry(*task_, 31).nameView(), "A.txt");
  EXPECT_EQ(log_.Matching(" Rename Dir: old-name = A, new-name=A2\n").size(),
            1u);
  EXPECT_EQ(log_.Matching(" Rename: old-state = ").size(), 3u);

  Apply(DirChange(10, 1, InRoot("A3")));  // the same directory again
  records = NewRecords();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[20].name, "A3\\f1");
  EXPECT_EQ(records[20].oldName, "A2\\f1");
  EXPECT_EQ(records[20].version, 2u);

  // Into a subdirectory of a sibling: the index follows, so B's departure
  // reaches the files that now lie below it, and only those.
  Apply(DirChange(10, 13, InRoot("B\\C\\A3")));
  records = NewRecords();
  EXPECT_EQ(records[10].parentRef, 13u);
  EXPECT_EQ(records[21].name, "B\\C\\A3\\S\\f2");
  EXPECT_EQ(records[21].oldName, "A3\\S\\f2");
  EXPECT_EQ(task_->dirIndex[1].count(10), 0u);
  EXPECT_EQ(task_->dirIndex[13].count(10), 1u);

  Apply(DirChange(12, 99, "\\\\?\\E:\\B"));
  records = NewRecords();
  EXPECT_EQ(Entry(*task_, 12).state(), StateDirDeleted);
  for (uint64_t ref : {20, 21, 30}) {
    EXPECT_EQ(Entry(*task_, ref).state(), StateDeleted) << ref;
    EXPECT_EQ(records[ref].state, StateDeleted) << ref;
  }
  // B\C, and A3 with A3\S below it, left with B.
  for (uint64_t ref : {13, 10, 11}) {
    EXPECT_EQ(Entry(*task_, ref).state(), StateDirDeleted) << ref;
    EXPECT_EQ(records[ref].state, StateDirDeleted) << ref;
  }
  EXPECT_EQ(Entry(*task_, 31).state(), StateAdded);
  EXPECT_EQ(log_.Matching(" DelDir: ").size(), 6u);
}

TEST_F(DirectoryTreeTest, LetterCaseChangeOfADirectoryTakesTheNewCase) {
  Apply(DirChange(10, 1, InRoot("a")));
  std::map<uint64_t, StoredRecord> records = NewRecords();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[10].name, "a");
  EXPECT_EQ(records[20].state, StateUpdated);
  EXPECT_EQ(records[20].name, "a\\f1");
  EXPECT_EQ(records[11].name, "a\\S");

  Apply(DirChange(10, 1, InRoot("a")));  // nothing moved
  EXPECT_TRUE(NewRecords().empty());
}

TEST_F(DirectoryTreeTest, DirectoryLeavingTheRootTakesEverythingBelowAlong) {
  Apply(FileChange(21, 11, InRoot("A\\S\\f2b")));  // a rename: still live
  NewRecords();
  log_.Clear();
  Apply(DirChange(10, 99, "\\\\?\\E:\\X\\A"));
  std::vector<StoredRecord> records = EntryRecords(*task_, written_);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].fileRef, 10u);  // the directory, then what was below
  EXPECT_EQ(records[0].state, StateDirDeleted);
  std::set<uint64_t> below{records[1].fileRef, records[2].fileRef,
                           records[3].fileRef};
  EXPECT_EQ(below, (std::set<uint64_t>{11, 20, 21}));
  EXPECT_EQ(Entry(*task_, 20).version(), 1u);
  EXPECT_EQ(Entry(*task_, 21).version(), 2u);
  EXPECT_EQ(Entry(*task_, 22).version(), 1u);  // already deleted
  EXPECT_EQ(Entry(*task_, 11).state(), StateDirDeleted);
  EXPECT_EQ(Entry(*task_, 11).version(), 1u);
  EXPECT_EQ(Entry(*task_, 30).state(), StateAdded);
  EXPECT_EQ(log_.Matching(" Delete Dir: old-state = 6, oldname = A, "
                          "newname = \\\\?\\E:\\X\\A\n")
                .size(),
            1u);
  EXPECT_EQ(log_.Matching(" DelDir: 20 -> A\\f1\n").size(), 1u);
  EXPECT_EQ(log_.Matching(" DelDir: 21 -> A\\S\\f2b\n").size(), 1u);

  written_ += records.size();
  Apply(DirChange(10, 99, "\\\\?\\E:\\X\\A"));  // already gone
  EXPECT_TRUE(NewRecords().empty());
}

TEST_F(DirectoryTreeTest, DepartedDirectoryThatComesBackIsADirectoryAgain) {
  Apply(DirChange(10, 99, "\\\\?\\E:\\X\\A"));
  NewRecords();
  log_.Clear();
  Apply(DirChange(10, 1, InRoot("Back")));
  std::map<uint64_t, StoredRecord> records = NewRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[10].state, StateDirectory);
  EXPECT_EQ(records[10].name, "Back");
  EXPECT_EQ(records[10].version, 2u);
  EXPECT_EQ(log_.Matching(" Rename Dir: old-name = A, new-name=Back\n").size(), 1u);
  // Its next departure reaches what is below it again.
  Apply(FileChange(20, 10, InRoot("Back\\f1")));
  NewRecords();
  Apply(DirChange(10, 99, "\\\\?\\E:\\Y"));
  EXPECT_EQ(Entry(*task_, 20).state(), StateDeleted);
}

// A directory renamed while a new one takes its old name, with files of
// its own, all in one batch: the rename takes along exactly the entries
// below the renamed directory, whatever order the batch is applied in, and
// leaves the newcomers, whose paths begin alike, where they are.
TEST_F(DirectoryTreeTest, RenameTakesAlongOnlyTheEntriesBelowTheDirectory) {
  // The batch's order is the pending map's: the second batch enters its
  // changes the other way round, so one of them applies the newcomers
  // before the rename.
  Pend(DirChange(10, 1, InRoot("A2")));
  Pend(DirChange(40, 1, InRoot("A")));
  Pend(FileChange(41, 40, InRoot("A\\new")));
  Pend(DirChange(42, 40, InRoot("A\\S")));
  ApplyPendingChanges(volume_);
  Pend(FileChange(51, 50, InRoot("B\\y")));
  Pend(DirChange(50, 1, InRoot("B")));
  Pend(DirChange(12, 1, InRoot("B2")));
  ApplyPendingChanges(volume_);

  std::map<std::string, uint64_t> live;
  for (const auto& [ref, entry] : task_->entries) {
    uint8_t state = entry.state();
    if (IsLiveFileState(state) || state == StateDirectory) {
      EXPECT_EQ(live.count(std::string(entry.nameView())), 0u) << entry.name();
      live[std::string(entry.nameView())] = ref;
    }
  }
  std::map<std::string, uint64_t> expected{
      {"A2", 10},     {"A2\\S", 11},  {"A2\\f1", 20}, {"A2\\S\\f2", 21},
      {"A", 40},      {"A\\new", 41}, {"A\\S", 42},   {"B2", 12},
      {"B2\\C", 13}, {"B2\\x", 30}, {"B", 50},       {"B\\y", 51},
      {"A.txt", 31}};
  EXPECT_EQ(live, expected);
  std::map<uint64_t, StoredRecord> records = NewRecords();
  EXPECT_EQ(records[41].state, StateAdded);
  EXPECT_EQ(records[41].name, "A\\new");
  EXPECT_EQ(records[42].name, "A\\S");
  EXPECT_EQ(records[51].name, "B\\y");
  EXPECT_EQ(records[30].name, "B2\\x");
}

// A directory renamed onto an empty one (which it replaces) while a file
// below it has a change of its own: a client applying the records in
// order must meet the replaced directory's deletion before the newcomer
// takes its name, and the directory before the file that lies in it.
// Both insertion orders of the batch give that order.
TEST_F(DirectoryTreeTest, BatchIsWrittenDeparturesFirstThenDirectoriesThenFiles) {
  Apply(DirChange(14, 1, InRoot("E")));
  Apply(DirChange(15, 1, InRoot("F")));
  NewRecords();
  for (bool reversed : {false, true}) {
    uint64_t replaced = reversed ? 15 : 14;
    uint64_t moved = reversed ? 10 : 12;
    uint64_t file = reversed ? 20 : 30;
    std::string name = reversed ? "F" : "E";
    std::vector<CatalogRecord> batch;
    batch.push_back(FileChange(file, moved, InRoot(name + "\\f")));
    batch.push_back(DeletionEvent(replaced, 1));
    batch.push_back(DirChange(moved, 1, InRoot(name)));
    if (reversed) std::reverse(batch.begin(), batch.end());
    for (CatalogRecord& change : batch) Pend(std::move(change));
    ApplyPendingChanges(volume_);

    std::vector<StoredRecord> records = EntryRecords(*task_, written_);
    written_ += records.size();
    ASSERT_GE(records.size(), 3u) << name;
    EXPECT_EQ(records[0].fileRef, replaced) << name;
    EXPECT_EQ(records[0].state, StateDeleted) << name;
    size_t directory = records.size();
    size_t ownFile = records.size();
    for (size_t i = 0; i < records.size(); ++i) {
      if (records[i].fileRef == moved) directory = i;
      if (records[i].fileRef == file) ownFile = i;
      // A directory's records come before those of files.
      if (records[i].state == StateDirectory) {
        for (size_t j = 0; j < i; ++j) {
          EXPECT_NE(records[j].state, StateRenamed) << name << " record " << j;
        }
      }
    }
    EXPECT_LT(directory, ownFile) << name;
    EXPECT_EQ(records.back().usn, volume_.lastReadUsn) << name;
  }
}

// Excluded places lie outside the task's tree: what moves there leaves the
// catalog as if it had left the root, and what comes back is recorded
// again.
class ExcludedPlaceTest : public DirectoryTreeTest {
 protected:
  void SetUp() override {
    CatalogChangesTest::SetUp();
    task_ = &AddTask("docs", "D:\\DATA\\", "Temp;Z\\C");
    Apply(DirChange(10, 1, InRoot("A")));
    Apply(DirChange(11, 10, InRoot("A\\S")));
    Apply(DirChange(12, 1, InRoot("B")));
    Apply(DirChange(13, 12, InRoot("B\\C")));
    Apply(FileChange(20, 10, InRoot("A\\f1")));
    Apply(FileChange(21, 11, InRoot("A\\S\\f2")));
    Apply(FileChange(30, 12, InRoot("B\\x")));
    Apply(FileChange(32, 13, InRoot("B\\C\\y")));
    Apply(FileChange(31, 1, InRoot("A.txt")));
    written_ = EntryRecords(*task_).size();
    log_.Clear();
  }
};

TEST_F(ExcludedPlaceTest, FileRenamedIntoAnExcludedPlaceIsDeleted) {
  Apply(FileChange(31, 1, InRoot("temp\\A.txt")));
  std::map<uint64_t, StoredRecord> records = NewRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[31].state, StateDeleted);
  EXPECT_EQ(records[31].name, "A.txt");
  EXPECT_EQ(log_.Matching(" Delete File: old-state = 1, oldname = A.txt, "
                          "newname = \\\\?\\D:\\DATA\\temp\\A.txt\n")
                .size(),
            1u);
  // Changed there, it stays out; back in place, it is a file again.
  Apply(FileChange(31, 1, InRoot("Temp\\A.txt"), 7));
  EXPECT_TRUE(NewRecords().empty());
  Apply(FileChange(31, 1, InRoot("A.txt"), 7));
  EXPECT_EQ(Entry(*task_, 31).state(), StateUpdated);
  EXPECT_EQ(Entry(*task_, 31).fileSize(), 7u);
}

TEST_F(ExcludedPlaceTest, DirectoryMovedIntoAnExcludedPlaceDepartsWithItsSubtree) {
  Apply(DirChange(10, 1, InRoot("Temp")));
  std::map<uint64_t, StoredRecord> records = NewRecords();
  ASSERT_EQ(records.size(), 4u);  // A, A\S, A\f1, A\S\f2
  EXPECT_EQ(records[10].state, StateDirDeleted);
  EXPECT_EQ(records[11].state, StateDirDeleted);
  EXPECT_EQ(records[20].state, StateDeleted);
  EXPECT_EQ(records[21].state, StateDeleted);
  EXPECT_EQ(records[20].name, "A\\f1");  // the names clients knew
  EXPECT_EQ(Entry(*task_, 30).state(), StateAdded);
}

TEST_F(ExcludedPlaceTest, RenameThatPutsASubdirectoryInAnExcludedPlaceDropsIt) {
  // B becomes Z: B\C becomes Z\C, which the task excludes.
  Apply(DirChange(12, 1, InRoot("Z")));
  std::map<uint64_t, StoredRecord> records = NewRecords();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[12].state, StateDirectory);
  EXPECT_EQ(records[12].name, "Z");
  EXPECT_EQ(records[30].state, StateRenamed);
  EXPECT_EQ(records[30].name, "Z\\x");
  EXPECT_EQ(records[13].state, StateDirDeleted);
  EXPECT_EQ(records[32].state, StateDeleted);
  EXPECT_EQ(records[32].name, "B\\C\\y");
}

TEST_F(CatalogChangesTest, SubtreeCollectionEndsOnCycles) {
  SyncTask& task = AddTask("cycle");
  task.dirIndex[1] = {2};
  task.dirIndex[2] = {3};
  task.dirIndex[3] = {1, 4};
  std::unordered_set<uint64_t> subtree;
  CollectSubtree(task, 1, subtree);
  EXPECT_EQ(subtree, (std::unordered_set<uint64_t>{1, 2, 3, 4}));
  subtree.clear();
  CollectSubtree(task, 4, subtree);
  EXPECT_EQ(subtree, (std::unordered_set<uint64_t>{4}));
}

TEST_F(CatalogChangesTest, ChangesWithinOneEditKeepWhatClientsKnow) {
  auto edit = [](SyncTask& task, std::vector<CatalogRecord> changes) {
    WriterLock lock(&task.catalogLock);
    CatalogEdit e;
    for (const CatalogRecord& c : changes) ApplyChange(task, c, e);
    return e.changed.size();
  };
  for (bool directoryFirst : {true, false}) {
    SCOPED_TRACE(directoryFirst);
    SyncTask& task = AddTask(directoryFirst ? "dirfirst" : "filefirst");
    Apply(DirChange(10, 1, InRoot("Old")));
    Apply(DirChange(11, 10, InRoot("Old\\B")));
    Apply(FileChange(20, 10, InRoot("Old\\f")));
    Apply(FileChange(21, 11, InRoot("Old\\B\\g")));
    std::vector<CatalogRecord> changes;
    changes.push_back(DirChange(10, 1, InRoot("New")));
    changes.push_back(FileChange(20, 10, InRoot("New\\f"), 5));
    changes.push_back(FileChange(22, 10, InRoot("Old\\added")));
    if (!directoryFirst) std::swap(changes[0], changes[2]);
    changes.push_back(DirChange(11, 10, InRoot("New\\B2")));
    EXPECT_EQ(edit(task, std::move(changes)), 5u);  // each entry once

    EXPECT_EQ(Entry(task, 20).state(), StateRenamed);
    EXPECT_EQ(Entry(task, 20).nameView(), "New\\f");
    EXPECT_EQ(Entry(task, 20).oldNameView(), "Old\\f");
    EXPECT_EQ(Entry(task, 20).fileSize(), 5u);
    EXPECT_EQ(Entry(task, 21).nameView(), "New\\B2\\g");
    EXPECT_EQ(Entry(task, 21).oldNameView(), "Old\\B\\g");
    EXPECT_EQ(Entry(task, 22).state(), StateAdded);  // still unknown
    EXPECT_EQ(Entry(task, 22).nameView(),
              directoryFirst ? "Old\\added" : "New\\added");
  }
}

// A directory that moves below a new directory holding its old name
// ("d39" -> "d39\d47\d52"), in one batch with a change of its own
// subdirectory, whose path already lies below the new place. Whichever
// comes first, the subdirectory and its file end up at their real paths;
// entries the batch did not place (still known by their paths of before)
// are taken along even when their paths already begin with the new one.
TEST_F(CatalogChangesTest, DirectoryMovedBelowItsOldNameIsNotPrefixedTwice) {
  for (bool childFirst : {true, false}) {
    SCOPED_TRACE(childFirst);
    SyncTask& task = AddTask(childFirst ? "childfirst" : "parentfirst");
    Apply(DirChange(10, 1, InRoot("d39")));
    Apply(DirChange(11, 10, InRoot("d39\\d21")));
    Apply(FileChange(20, 11, InRoot("d39\\d21\\f")));
    Apply(DirChange(12, 10, InRoot("d39\\d47")));
    Apply(DirChange(13, 12, InRoot("d39\\d47\\d52")));
    Apply(FileChange(21, 13, InRoot("d39\\d47\\d52\\x")));

    std::vector<CatalogRecord> changes;
    changes.push_back(DirChange(11, 10, InRoot("d39\\d47\\d52\\d21")));
    changes.push_back(DirChange(40, 1, InRoot("d39")));
    changes.push_back(DirChange(41, 40, InRoot("d39\\d47")));
    changes.push_back(DirChange(10, 41, InRoot("d39\\d47\\d52")));
    if (!childFirst) std::reverse(changes.begin(), changes.end());
    {
      WriterLock lock(&task.catalogLock);
      CatalogEdit edit;
      for (const CatalogRecord& c : changes) ApplyChange(task, c, edit);
    }
    EXPECT_EQ(Entry(task, 10).nameView(), "d39\\d47\\d52");
    EXPECT_EQ(Entry(task, 11).nameView(), "d39\\d47\\d52\\d21");
    EXPECT_EQ(Entry(task, 20).nameView(), "d39\\d47\\d52\\d21\\f");
    EXPECT_EQ(Entry(task, 20).oldNameView(), "d39\\d21\\f");
    EXPECT_EQ(Entry(task, 40).nameView(), "d39");
    EXPECT_EQ(Entry(task, 41).nameView(), "d39\\d47");
    // Unchanged by the batch, so still at their former place below the
    // directory: that place is now below its new path.
    EXPECT_EQ(Entry(task, 13).nameView(), "d39\\d47\\d52\\d47\\d52");
    EXPECT_EQ(Entry(task, 21).nameView(), "d39\\d47\\d52\\d47\\d52\\x");
  }
}

TEST_F(CatalogChangesTest, BatchWritesOneRecordPerFileAndStampsThePosition) {
  SyncTask& docs = AddTask("docs");
  SyncTask& other = AddTask("other", "D:\\OTHER\\");
  Apply(FileChange(100, 5, InRoot("old.txt")));
  docs.positionSavedOn = 0;
  other.positionSavedOn = 0;
  Pend(FileChange(100, 5, InRoot("old.txt"), 99));
  Pend(FileChange(101, 5, InRoot("b.txt")));
  Pend(FileChange(102, 5, InRoot("c.txt")));
  Pend(DeletionEvent(103, 5));
  volume_.lastReadUsn = 5000;
  volume_.firstPendingTick = 7;
  volume_.lastChangeTick = 9;
  volume_.changesSinceSave = 10;
  ApplyPendingChanges(volume_);

  std::vector<StoredRecord> records = EntryRecords(docs, 1);
  ASSERT_EQ(records.size(), 3u);
  std::set<uint64_t> refs;
  for (size_t i = 0; i < records.size(); ++i) {
    refs.insert(records[i].fileRef);
    EXPECT_EQ(records[i].usn, i + 1 == records.size() ? 5000 : 0);
  }
  EXPECT_EQ(refs, (std::set<uint64_t>{100, 101, 102}));
  EXPECT_EQ(Entry(docs, 100).version(), 1u);
  EXPECT_EQ(docs.lastUsn, 5000);
  EXPECT_EQ(docs.positionSavedOn, static_cast<uint32_t>(TodayAsNumber()));
  // A task without changes in the batch writes nothing and keeps its date.
  EXPECT_EQ(std::filesystem::file_size(other.store.path), 0u);
  EXPECT_EQ(other.positionSavedOn, 0u);
  EXPECT_EQ(volume_.changesSinceSave.load(), 14u);
  EXPECT_TRUE(volume_.pending.empty());
  EXPECT_EQ(volume_.firstPendingTick, 0u);
  EXPECT_EQ(volume_.lastChangeTick, 0u);
}

TEST_F(CatalogChangesTest, BatchConcerningNoTaskOnlyCountsAndResets) {
  SyncTask& docs = AddTask("docs");
  ASSERT_TRUE(FlushBuffer(docs.store, true).ok());
  const auto size = std::filesystem::file_size(docs.store.path);
  Pend(FileChange(200, 5, "\\\\?\\E:\\ELSE\\x"));
  Pend(DeletionEvent(201, 5));
  volume_.firstPendingTick = 3;
  volume_.lastChangeTick = 4;
  ApplyPendingChanges(volume_);
  EXPECT_EQ(std::filesystem::file_size(docs.store.path), size);
  EXPECT_EQ(volume_.changesSinceSave.load(), 2u);
  EXPECT_TRUE(volume_.pending.empty());
  EXPECT_EQ(volume_.firstPendingTick, 0u);

  volume_.firstPendingTick = 3;
  ApplyPendingChanges(volume_);  // nothing pending: nothing changes
  EXPECT_EQ(volume_.firstPendingTick, 3u);
  EXPECT_EQ(volume_.changesSinceSave.load(), 2u);
}

// The two modes differ in their seals only: one per batch, or one per
// record.
TEST_F(CatalogChangesTest, BothWriteModesPutTheSameRecordsInTheFile) {
  // A store close to the end of its first block, with a directory and two
  // files in it.
  {
    VolumeWatch prepared{'D', 10000};
    SyncTask& task = AddTask(prepared, "same", "D:\\DATA\\");
    ASSERT_TRUE(FlushBuffer(task.store, true).ok());
    CatalogRecord pad = MakeRecord(999, StateAdded, "pad", kBlockSize - 700);
    ASSERT_TRUE(WriteRecord(task.store, pad, false).ok());
    ApplyCatchUpChange(prepared, DirChange(10, 1, InRoot("D")));
    ApplyCatchUpChange(prepared, FileChange(20, 10, InRoot("D\\f")));
    ApplyCatchUpChange(prepared, FileChange(21, 10, InRoot("D\\g")));
  }
  std::vector<std::string> files[2];
  const StoreWriteMode modes[2] = {StoreWriteMode::kOneWritePerBatch,
                                   StoreWriteMode::kOneWritePerRecord};
  for (int m = 0; m < 2; ++m) {
    std::string programDir = dir_ + "/mode" + std::to_string(m) + "/";
    std::filesystem::create_directories(programDir + "data");
    std::filesystem::copy_file(dir_ + "/data/same.db",
                               programDir + "data/same.db");
    programDir_ = programDir;
    VolumeWatch volume{'D', 10000};
    // A compaction would rewrite the store whose records are compared.
    volume.storeOptions.compactMinDeadBytes = INT64_MAX;
    AddTask(volume, "same", "D:\\DATA\\");
    auto pend = [&volume](CatalogRecord c) {
      uint64_t ref = c.fileRef();
      volume.pending[ref] = std::move(c);
    };
    for (uint64_t ref = 30; ref < 40; ++ref) {
      pend(FileChange(ref, 10, InRoot("D\\" + std::string(60, 'n') +
                                       std::to_string(ref))));
    }
    pend(FileChange(20, 10, InRoot("D\\f"), 77));  // also marked below
    pend(DirChange(10, 1, "\\\\?\\E:\\D"));        // leaves: cascade
    volume.lastReadUsn = 4321;
    ApplyPendingChanges(volume, modes[m]);
    StoreContents written(programDir + "data/same.db");
    EXPECT_TRUE(written.damageOffsets.empty());
    for (const StoredRecord& r : written.Entries()) {
      files[m].push_back(std::to_string(r.fileRef) + " " + std::to_string(r.state) +
                         " v" + std::to_string(r.version) + " u" +
                         std::to_string(r.usn) + " s" + std::to_string(r.fileSize) +
                         " " + r.name + " " + r.oldName);
    }
  }
  EXPECT_EQ(files[0], files[1]);
  // The batch crossed a block boundary and ran a cascade.
  ASSERT_GT(std::filesystem::file_size(dir_ + "/mode0/data/same.db"),
            static_cast<size_t>(kBlockSize));
  StoreContents contents(dir_ + "/mode0/data/same.db");
  bool crossed = false;
  int deleted = 0;
  for (const StoredRecord& r : contents.records) {
    crossed |= r.offset == kBlockSize;
    deleted += r.state == StateDeleted;
  }
  EXPECT_TRUE(crossed);
  EXPECT_GE(deleted, 12);
  EXPECT_TRUE(contents.damageOffsets.empty());
}

TEST_F(CatalogChangesTest, JournalPositionIsSavedOncePerDayOrWhenForced) {
  SyncTask& task = AddTask("docs");
  ASSERT_TRUE(FlushBuffer(task.store, true).ok());
  auto markers = [&task]() {
    std::vector<int64_t> usns;
    for (const StoredRecord& r : StoreContents(task.store.path).records) {
      if (r.state == StateFiller && r.length == 66) usns.push_back(r.usn);
    }
    return usns;
  };
  volume_.changesSinceSave = 50;
  volume_.SaveJournalPosition(100, false);  // opened today: no marker
  EXPECT_TRUE(markers().empty());
  EXPECT_EQ(task.lastUsn, 0);
  EXPECT_EQ(volume_.changesSinceSave.load(), 50u);

  volume_.SaveJournalPosition(100, true);
  EXPECT_EQ(markers(), (std::vector<int64_t>{100}));
  EXPECT_EQ(task.lastUsn, 100);
  EXPECT_EQ(volume_.changesSinceSave.load(), 0u);

  task.positionSavedOn = 20000101;  // not yet today
  volume_.SaveJournalPosition(200, false);
  EXPECT_EQ(markers(), (std::vector<int64_t>{100, 200}));
  EXPECT_EQ(task.positionSavedOn, static_cast<uint32_t>(TodayAsNumber()));

  volume_.SaveJournalPosition(150, true);  // behind lastUsn
  volume_.SaveJournalPosition(200, true);  // at lastUsn
  EXPECT_EQ(markers().size(), 2u);
}

TEST_F(CatalogChangesTest, RestartLoadsTheSameCatalogs) {
  struct Snapshot {
    std::map<uint64_t, std::tuple<int, uint32_t, std::string, std::string,
                                  uint64_t, uint64_t, int64_t, int64_t>>
        entries;
    std::map<uint64_t, std::set<uint64_t>> dirIndex;
    uint32_t storeId;
    int64_t lastUsn;
    int64_t recordCount;
  };
  auto snapshot = [](const SyncTask& task) {
    Snapshot s;
    for (const auto& [ref, e] : task.entries) {
      s.entries[ref] = {e.state(),
                        e.version(),
                        std::string(e.nameView()),
                        e.state() == StateRenamed ? std::string(e.oldNameView())
                                                  : std::string(),
                        e.parentRef(),
                        e.fileSize(),
                        e.usn(),
                        e.sequence()};
    }
    for (const auto& [ref, set] : task.dirIndex) {
      if (!set.empty()) s.dirIndex[ref] = std::set<uint64_t>(set.begin(),
                                                             set.end());
    }
    s.storeId = task.storeId.load();
    s.lastUsn = task.lastUsn;
    s.recordCount = task.store.recordCount;
    return s;
  };

  std::vector<Snapshot> before;
  {
    AddTask("whole", "D:\\DATA\\");
    AddTask("part", "D:\\DATA\\A\\", "skip");
    Apply(DirChange(10, 1, InRoot("A")));
    Apply(DirChange(11, 10, InRoot("A\\S")));
    Apply(FileChange(20, 11, InRoot("A\\S\\f")));
    Apply(FileChange(21, 10, InRoot("A\\g")));
    Apply(FileChange(22, 10, InRoot("A\\skip\\h")));
    Apply(DirChange(11, 10, InRoot("A\\T")));
    Pend(FileChange(21, 1, InRoot("g2")));
    Pend(FileChange(23, 10, InRoot("A\\new")));
    volume_.lastReadUsn = 4242;
    ApplyPendingChanges(volume_);
    Apply(DirChange(10, 99, "\\\\?\\E:\\A"));
    volume_.SaveJournalPosition(5000, true);
    for (const char* name : {"whole", "part"}) {
      // Entries that left are forgotten after every batch; a store read
      // back holds none either.
      ForgetDeparted(*volume_.tasks[name]);
      before.push_back(snapshot(*volume_.tasks[name]));
    }
    volume_.tasks.clear();
  }
  EXPECT_EQ(before[0].lastUsn, 5000);
  // T, f, new: g moved out of the part's root, skip is excluded.
  EXPECT_EQ(before[1].entries.size(), 3u);

  int i = 0;
  for (const char* name : {"whole", "part"}) {
    SCOPED_TRACE(name);
    SyncTask& task = AddTask(name, name == std::string("whole")
                                       ? "D:\\DATA\\"
                                       : "D:\\DATA\\A\\");
    Snapshot after = snapshot(task);
    const Snapshot& expected = before[i++];
    EXPECT_EQ(after.entries, expected.entries);
    EXPECT_EQ(after.dirIndex, expected.dirIndex);
    EXPECT_EQ(after.storeId, expected.storeId);
    EXPECT_EQ(after.lastUsn, expected.lastUsn);
    EXPECT_EQ(after.recordCount, expected.recordCount);
    ASSERT_TRUE(WriteMarker(task.store, 0, StateFiller, 0, false).ok());
    StoreContents file(task.store.path);
    EXPECT_EQ(file.records.back().sequence, expected.recordCount + 1);
    EXPECT_EQ(file.seals.back().sequence, expected.recordCount + 2);
  }
}

// Writes to the store fail while `failing` is set.
class FailingWrites final : public EnvWrapper {
 public:
  FailingWrites() : EnvWrapper(Env::Default()) {}
  bool failing = false;
  Status PWrite(int fd, const void* bytes, size_t count, off_t offset) override {
    if (failing) return Status::FromErrno("pwrite", ENOSPC);
    return EnvWrapper::PWrite(fd, bytes, count, offset);
  }
};

// Everything of a catalog a client or a later batch can see.
std::string CatalogText(const SyncTask& task) NO_THREAD_SAFETY_ANALYSIS {
  std::map<uint64_t, std::string> lines;
  for (const auto& [ref, e] : task.entries) {
    lines[ref] = std::to_string(e.state()) + " v" + std::to_string(e.version()) +
                 " p" + std::to_string(e.parentRef()) + " s" +
                 std::to_string(e.fileSize()) + " " + std::string(e.nameView()) +
                 (e.state() == StateRenamed ? " <- " + std::string(e.oldNameView())
                                            : std::string());
  }
  std::string text;
  for (const auto& [ref, line] : lines) text += std::to_string(ref) + ": " + line + "\n";
  for (const auto& [dir, children] : task.dirIndex) {
    std::set<uint64_t> sorted(children.begin(), children.end());
    text += "index " + std::to_string(dir) + ":";
    for (uint64_t child : sorted) text += " " + std::to_string(child);
    text += "\n";
  }
  return text + "lastUsn " + std::to_string(task.lastUsn) + "\n";
}

// A batch whose records do not reach the disk leaves the catalog exactly
// as the disk holds it: adds, renames, a directory's move with its
// subtree and a departure's cascade are all undone, in both write modes.
// Applied again once the disk takes writes, the batch gives the catalog
// and the records a batch without the failure gives.
TEST_F(CatalogChangesTest, FailedBatchLeavesTheCatalogAsTheDiskHoldsIt) {
  FailingWrites disk;
  env_ = &disk;
  const StoreWriteMode modes[2] = {StoreWriteMode::kOneWritePerBatch,
                                   StoreWriteMode::kOneWritePerRecord};
  std::string expected;
  std::vector<std::string> records[2];
  for (int m = 0; m < 2; ++m) {
    SCOPED_TRACE(m);
    programDir_ = dir_ + "/mode" + std::to_string(m) + "/";
    VolumeWatch volume{'D', 10000};
    SyncTask& task = AddTask(volume, "undo", "D:\\DATA\\");
    auto apply = [&volume](CatalogRecord change) {
      ApplyCatchUpChange(volume.tasks, change).IgnoreError();
    };
    apply(DirChange(10, 1, InRoot("A")));
    apply(DirChange(11, 10, InRoot("A\\S")));
    apply(FileChange(20, 11, InRoot("A\\S\\f")));
    apply(FileChange(21, 10, InRoot("A\\g")));
    apply(DirChange(12, 1, InRoot("B")));
    apply(FileChange(22, 12, InRoot("B\\h")));
    const std::string before = CatalogText(task);
    const int64_t size = task.store.storeSize.load();

    auto pend = [&volume]() {
      std::vector<CatalogRecord> batch;
      batch.push_back(DirChange(10, 1, InRoot("A2")));            // moves A and S
      batch.push_back(FileChange(21, 1, InRoot("g")));            // renamed
      batch.push_back(FileChange(23, 11, InRoot("A2\\S\\n"), 5));  // added
      batch.push_back(DirChange(12, 99, "\\\\?\\E:\\B"));          // leaves
      batch.push_back(DeletionEvent(20, 11));
      for (CatalogRecord& c : batch) {
        uint64_t ref = c.fileRef();
        volume.pending[ref] = std::move(c);
      }
      volume.lastReadUsn = 777;
    };
    pend();
    disk.failing = true;
    {
      MutexLock guard(&volume.lock);
      EXPECT_FALSE(ApplyPendingChanges(volume.tasks, volume.pending,
                                       volume.lastReadUsn, modes[m])
                       .ok());
    }
    EXPECT_EQ(CatalogText(task), before);
    EXPECT_EQ(task.store.storeSize.load(), size);
    EXPECT_EQ(static_cast<int64_t>(std::filesystem::file_size(task.store.path)), size);

    disk.failing = false;
    {
      MutexLock guard(&volume.lock);
      EXPECT_TRUE(ApplyPendingChanges(volume.tasks, volume.pending,
                                      volume.lastReadUsn, modes[m])
                      .ok());
    }
    if (m == 0) expected = CatalogText(task);
    EXPECT_EQ(CatalogText(task), expected);
    EXPECT_EQ(task.lastUsn, 777);
    for (const StoredRecord& r : StoreContents(task.store.path).Entries()) {
      records[m].push_back(std::to_string(r.fileRef) + " " +
                           std::to_string(r.state) + " v" +
                           std::to_string(r.version) + " " + r.name);
    }
  }
  EXPECT_EQ(records[0], records[1]);
  EXPECT_NE(expected.find("A2\\S\\n"), std::string::npos) << expected;
  env_ = Env::Default();
}

// A write that fails in the middle of a batch written record by record:
// what reached the disk stays, what did not is undone.
TEST_F(CatalogChangesTest, RecordByRecordFailureKeepsWhatReachedTheDisk) {
  // Fails every write from the third on.
  class ThirdWriteFails final : public EnvWrapper {
   public:
    ThirdWriteFails() : EnvWrapper(Env::Default()) {}
    int writes = 0;
    bool armed = false;
    Status PWrite(int fd, const void* bytes, size_t count, off_t offset) override {
      if (armed && ++writes >= 3) return Status::FromErrno("pwrite", EIO);
      return EnvWrapper::PWrite(fd, bytes, count, offset);
    }
  } disk;
  env_ = &disk;
  SyncTask& task = AddTask("partly");
  ASSERT_TRUE(FlushBuffer(task.store, true).ok());
  for (uint64_t ref = 30; ref < 35; ++ref) {
    Pend(FileChange(ref, 1, InRoot("f" + std::to_string(ref))));
  }
  disk.armed = true;
  {
    MutexLock guard(&volume_.lock);
    EXPECT_FALSE(ApplyPendingChanges(volume_.tasks, volume_.pending, 0,
                                     StoreWriteMode::kOneWritePerRecord)
                     .ok());
  }
  std::vector<StoredRecord> onDisk = StoreContents(task.store.path).Entries();
  ASSERT_EQ(onDisk.size(), 2u);
  ReaderLock lock(&task.catalogLock);
  EXPECT_EQ(task.entries.size(), 2u);
  for (const StoredRecord& r : onDisk) EXPECT_NE(FindEntry(task, r.fileRef), nullptr);
  env_ = Env::Default();
}

// --- Type and permissions behind the names ------------------------------

CatalogRecord WithMode(CatalogRecord change, uint32_t mode) {
  WriteExtras(change, ExtrasForMode(mode));
  return change;
}

TEST_F(CatalogChangesTest, TypeAndPermissionsTravelWithEntriesAndReload) {
  SyncTask& task = AddTask("docs");
  Apply(DirChange(5, 1, InRoot("d")));
  Apply(WithMode(FileChange(100, 5, InRoot("d\\secret.txt"), 10), 0100600));
  Apply(WithMode(FileChange(101, 5, InRoot("d\\link"), 9), 0120777));
  EXPECT_EQ(ReadExtras(Entry(task, 100).data()), ExtrasForMode(0100600));
  EXPECT_TRUE(ReadExtras(Entry(task, 101).data()).isLink());
  EXPECT_EQ(ReadExtras(Entry(task, 101).data()).fileAttributes, kAttributeReparsePoint);

  // A change of permissions alone is news, and is recorded as an update.
  CatalogRecord chmod = WithMode(FileChange(100, 5, InRoot("d\\secret.txt"), 10), 0100644);
  {
    ReaderLock lock(&task.catalogLock);
    EXPECT_TRUE(TellsSomethingNew(task, chmod));
    EXPECT_FALSE(TellsSomethingNew(
        task, WithMode(FileChange(100, 5, InRoot("d\\secret.txt"), 10), 0100600)));
  }
  Apply(chmod);
  EXPECT_EQ(Entry(task, 100).state(), StateUpdated);
  EXPECT_EQ(Entry(task, 100).version(), 1u);
  EXPECT_EQ(ReadExtras(Entry(task, 100).data()).mode, 0100644u);

  // A directory's move renames the files below it: each keeps its extras
  // behind both names. A change without extras keeps the entry's.
  Apply(DirChange(5, 1, InRoot("longer-name")));
  EXPECT_EQ(Entry(task, 100).state(), StateRenamed);
  EXPECT_EQ(Entry(task, 100).oldNameView(), "d\\secret.txt");
  EXPECT_EQ(ReadExtras(Entry(task, 100).data()).mode, 0100644u);
  EXPECT_TRUE(ReadExtras(Entry(task, 101).data()).isLink());
  Apply(FileChange(101, 5, InRoot("longer-name\\l"), 9));
  EXPECT_TRUE(ReadExtras(Entry(task, 101).data()).isLink());
  EXPECT_EQ(Entry(task, 101).oldNameView(), "longer-name\\link");

  // A directory's change of permissions alone is recorded at its path;
  // one that changes nothing is not.
  Apply(WithMode(DirChange(5, 1, InRoot("longer-name")), 040755));
  uint32_t dirVersion = Entry(task, 5).version();
  size_t written = EntryRecords(task).size();
  Apply(WithMode(DirChange(5, 1, InRoot("longer-name")), 040755));
  EXPECT_EQ(EntryRecords(task).size(), written);
  Apply(WithMode(DirChange(5, 1, InRoot("longer-name")), 040700));
  EXPECT_EQ(Entry(task, 5).state(), StateDirectory);
  EXPECT_EQ(Entry(task, 5).version(), dirVersion + 1);
  EXPECT_EQ(Entry(task, 5).nameView(), "longer-name");
  EXPECT_EQ(ReadExtras(Entry(task, 5).data()).mode, 040700u);
  ASSERT_EQ(EntryRecords(task).size(), written + 1);
  EXPECT_EQ(EntryRecords(task).back().fileRef, 5u);

  // What the store holds loads back with the same extras.
  std::unique_ptr<SyncTask> reloaded = Open("docs");
  ASSERT_NE(reloaded, nullptr);
  ReaderLock lock(&reloaded->catalogLock);
  const CatalogRecord* file = FindEntry(*reloaded, 100);
  const CatalogRecord* link = FindEntry(*reloaded, 101);
  ASSERT_NE(file, nullptr);
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(ReadExtras(file->data()).mode, 0100644u);
  EXPECT_EQ(ReadExtras(link->data()).mode, 0120777u);
  EXPECT_EQ(link->nameView(), "longer-name\\l");
}

TEST_F(CatalogChangesTest, RecordsWithoutOrWithDamagedExtrasSayNothing) {
  // As older stores hold them: the record ends with the name's NUL.
  CatalogRecord old = MakeRecord(7, StateAdded, "a.txt");
  EXPECT_FALSE(ReadExtras(old.data()).present);
  // Zeros behind the name, as a larger block leaves them.
  CatalogRecord padded = MakeRecord(7, StateAdded, "a.txt", 120);
  EXPECT_FALSE(ReadExtras(padded.data()).present);
  // A body that runs past the record, or an item past its body.
  CatalogRecord cut = MakeRecord(7, StateAdded, "a.txt");
  WriteExtras(cut, ExtrasForMode(0100644));
  EXPECT_TRUE(ReadExtras(cut.data()).present);
  record::SetLength(cut.data(), cut.length() - 1);
  EXPECT_FALSE(ReadExtras(cut.data()).present);
  CatalogRecord badItem = MakeRecord(7, StateAdded, "a.txt");
  WriteExtras(badItem, ExtrasForMode(0100644));
  badItem.data()[NamesEnd(badItem.data()) + 5] = 200;  // item size
  EXPECT_FALSE(ReadExtras(badItem.data()).present);
  // Writing no extras leaves nothing behind the names.
  WriteExtras(badItem, EntryExtras());
  EXPECT_FALSE(ReadExtras(badItem.data()).present);
  // A FIFO is a device to readers of the attribute bits.
  EXPECT_EQ(ExtrasForMode(0010644).fileAttributes, kAttributeDevice);
  EXPECT_EQ(ExtrasForMode(0100444).fileAttributes, kAttributeArchive | kAttributeReadOnly);
}

}  // namespace
}  // namespace dirsync
