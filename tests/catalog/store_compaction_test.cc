#include "catalog/store_compaction.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "catalog/catalog_changes.h"
#include "catalog/catalog_store.h"
#include "catalog/record_extension.h"
#include "store_test_util.h"
#include "tracking/volume_watch.h"

namespace dirsync {
namespace {

using testing_util::ReadFileBytes;
using testing_util::StoreContents;
using testing_util::StoredRecord;

std::string InRoot(const std::string& rel) { return "\\\\?\\D:\\DATA\\" + rel; }

CatalogRecord Change(uint64_t ref, uint64_t parent, uint8_t state,
                     const std::string& fullPath, uint64_t size) {
  CatalogRecord r = CatalogRecord::Allocate(kChangeRecordSize);
  r.set_fileRef(ref);
  r.set_parentRef(parent);
  r.set_state(state);
  r.set_fileSize(size);
  r.set_lastWriteTime(5000 + size);
  std::copy(fullPath.begin(), fullPath.end(), r.mutable_name());
  return r;
}
CatalogRecord FileChange(uint64_t ref, uint64_t parent, const std::string& rel,
                         uint64_t size = 1) {
  return Change(ref, parent, StateAdded, InRoot(rel), size);
}
CatalogRecord DirChange(uint64_t ref, uint64_t parent, const std::string& rel) {
  return Change(ref, parent, StateDirectory, InRoot(rel), 0);
}
CatalogRecord DeletionEvent(uint64_t ref) {
  CatalogRecord r = CatalogRecord::Allocate(kRecordHeaderSize);
  r.set_fileRef(ref);
  r.set_state(StateDeleted);
  return r;
}

// What the catalog holds of an entry, comparable across a reload.
struct Held {
  uint8_t state;
  uint32_t version;
  std::string name;
  std::string oldName;
  uint64_t parent;
  uint64_t size;
  uint64_t lastWrite;
  int64_t sequence;

  auto Key(bool withSequence) const {
    return std::make_tuple(state, version, name, oldName, parent, size,
                           lastWrite, withSequence ? sequence : 0);
  }
};

std::map<uint64_t, Held> Catalog(SyncTask& task) {
  ReaderLock lock(&task.catalogLock);
  std::map<uint64_t, Held> out;
  for (const auto& [ref, e] : task.entries) {
    out[ref] = {e.state(),
                e.version(),
                std::string(e.nameView()),
                e.state() == StateRenamed ? std::string(e.oldNameView()) : "",
                e.parentRef(),
                e.fileSize(),
                e.lastWriteTime(),
                e.sequence()};
  }
  return out;
}

// Whether two catalogs hold the same entries (sequence numbers compared
// only when asked: a compaction numbers the records anew).
::testing::AssertionResult SameCatalog(const std::map<uint64_t, Held>& a,
                                       const std::map<uint64_t, Held>& b,
                                       bool withSequence) {
  if (a.size() != b.size()) {
    return ::testing::AssertionFailure()
           << a.size() << " entries against " << b.size();
  }
  for (const auto& [ref, held] : a) {
    auto other = b.find(ref);
    if (other == b.end()) return ::testing::AssertionFailure() << "no entry " << ref;
    if (held.Key(withSequence) != other->second.Key(withSequence)) {
      return ::testing::AssertionFailure()
             << "entry " << ref << " differs: " << held.name << " v"
             << held.version << " seq " << held.sequence << " against "
             << other->second.name << " v" << other->second.version << " seq "
             << other->second.sequence;
    }
  }
  return ::testing::AssertionSuccess();
}

// Fails or kills the process at the n-th call the store makes to write
// (the compaction's own file included) once armed.
class StepEnv final : public EnvWrapper {
 public:
  enum class Action { kFail, kKill };
  StepEnv() : EnvWrapper(Env::Default()) {}

  void Arm(int n, Action action) {
    step_ = 0;
    failAt_ = n;
    action_ = action;
  }
  void Disarm() { failAt_ = 0; }
  int steps() const { return step_; }

  Status OpenFile(const std::string& path, int flags, mode_t mode,
                  UniqueFd* fd) override {
    if (Hit()) return Status::FromErrno("open", EMFILE);
    return EnvWrapper::OpenFile(path, flags, mode, fd);
  }
  Status PWrite(int fd, const void* bytes, size_t count, off_t offset) override {
    if (Hit()) return Status::FromErrno("pwrite", ENOSPC);
    return EnvWrapper::PWrite(fd, bytes, count, offset);
  }
  Status SyncData(int fd) override {
    if (Hit()) return Status::FromErrno("fdatasync", EIO);
    return EnvWrapper::SyncData(fd);
  }
  Status Sync(int fd) override {
    if (Hit()) return Status::FromErrno("fsync", EIO);
    return EnvWrapper::Sync(fd);
  }
  Status Rename(const std::string& from, const std::string& to) override {
    if (Hit()) return Status::FromErrno("rename", EIO);
    return EnvWrapper::Rename(from, to);
  }
  Status SyncDirectory(const std::string& path) override {
    if (Hit()) return Status::FromErrno("fsync", EIO);
    return EnvWrapper::SyncDirectory(path);
  }

 private:
  bool Hit() {
    if (failAt_ == 0) return false;
    if (++step_ != failAt_) return false;
    if (action_ == Action::kKill) ::kill(::getpid(), SIGKILL);
    return true;
  }

  int step_ = 0;
  int failAt_ = 0;
  Action action_ = Action::kFail;
};

class StoreCompactionTest : public testing_util::TrackingTest {
 protected:
  void SetUp() override {
    TrackingTest::SetUp();
    env_ = &stepEnv_;
  }

  SyncTask& AddTask(const std::string& name = "docs") {
    volume_.storeOptions = Stores();
    // Compactions happen when a test asks for them, unless it lowers this.
    volume_.storeOptions.compactMinDeadBytes = INT64_MAX;
    std::unique_ptr<SyncTask>& slot = volume_.tasks[name];
    slot = OpenTask(name, "D:\\DATA\\", "", Stores());
    return *slot;
  }

  // Applies changes as one batch, as the flush thread does.
  void Batch(std::vector<CatalogRecord> changes) {
    for (CatalogRecord& change : changes) {
      uint64_t ref = change.fileRef();
      volume_.pending[ref] = std::move(change);
    }
    MutexLock guard(&volume_.lock);
    // Each batch records a journal position, as the monitor's do.
    volume_.lastReadUsn += 10;
    ASSERT_TRUE(volume_.ApplyPending());
  }
  template <typename... Changes>
  void BatchOf(Changes... changes) {
    std::vector<CatalogRecord> batch;
    (batch.push_back(std::move(changes)), ...);
    Batch(std::move(batch));
  }

  // A tree that lived a while: directories, files updated, renamed and
  // deleted, and a crowd of files created and deleted again.
  void Churn(int crowd = 300) {
    std::vector<CatalogRecord> batch;
    batch.push_back(DirChange(10, 1, "a"));
    batch.push_back(DirChange(11, 10, "a\\b"));
    batch.push_back(DirChange(12, 1, "gone"));
    for (int i = 0; i < 40; ++i) {
      batch.push_back(FileChange(100 + i, i % 2 ? 10 : 11,
                                 (i % 2 ? "a\\f" : "a\\b\\f") + std::to_string(i), 10));
    }
    batch.push_back(FileChange(90, 12, "gone\\x"));
    Batch(std::move(batch));
    for (int round = 0; round < 2; ++round) {
      batch.clear();
      for (int i = 0; i < 30; ++i) {
        batch.push_back(FileChange(100 + i, i % 2 ? 10 : 11,
                                   (i % 2 ? "a\\f" : "a\\b\\f") + std::to_string(i),
                                   20 + round));
      }
      Batch(std::move(batch));
    }
    batch.clear();
    for (int i = 30; i < 35; ++i) {
      batch.push_back(FileChange(100 + i, 1, "moved" + std::to_string(i), 10));
    }
    for (int i = 35; i < 40; ++i) batch.push_back(DeletionEvent(100 + i));
    // The directory leaves the root with what is below it.
    batch.push_back(Change(12, 1, StateDirectory, "\\\\?\\D:\\ELSEWHERE\\gone", 0));
    Batch(std::move(batch));
    for (int start = 0; start < crowd; start += 100) {
      batch.clear();
      for (int i = start; i < start + 100 && i < crowd; ++i) {
        batch.push_back(FileChange(1000 + i, 10, "a\\tmp" + std::to_string(i), 3));
      }
      Batch(std::move(batch));
      batch.clear();
      for (int i = start; i < start + 100 && i < crowd; ++i) {
        batch.push_back(DeletionEvent(1000 + i));
      }
      Batch(std::move(batch));
    }
  }

  std::string Compaction(const SyncTask& task) const {
    return CompactionPathFor(task.store.path);
  }

  StepEnv stepEnv_;
  VolumeWatch volume_{'D', 10000};
};

TEST_F(StoreCompactionTest, DepartedEntriesLeaveMemoryButTheirRecordsStay) {
  SyncTask& task = AddTask();
  Churn();
  std::map<uint64_t, Held> held = Catalog(task);
  // 40 files and 2 directories live on; the deleted files, the directory
  // that left and its file, and the crowd are gone from memory.
  EXPECT_EQ(held.size(), 35u + 2u);
  for (const auto& [ref, h] : held) {
    EXPECT_TRUE(IsLiveFileState(h.state) || h.state == StateDirectory) << ref;
  }
  EXPECT_EQ(held.count(12), 0u);
  EXPECT_EQ(held.count(90), 0u);
  {
    ReaderLock lock(&task.catalogLock);
    EXPECT_EQ(task.dirParent.count(12), 0u);
  }
  // Clients learn of each departure from the store.
  std::map<uint64_t, uint8_t> last;
  for (const StoredRecord& r : StoreContents(task.store.path).Entries()) {
    last[r.fileRef] = r.state;
  }
  EXPECT_EQ(last[12], StateDirDeleted);
  EXPECT_EQ(last[90], StateDeleted);
  EXPECT_EQ(last[135], StateDeleted);
  EXPECT_EQ(last[1000], StateDeleted);

  // A reference that comes back is an entry again, with a version above
  // those its old records carry.
  uint32_t oldVersion = 0;
  for (const StoredRecord& r : StoreContents(task.store.path).Entries()) {
    if (r.fileRef == 1000) oldVersion = std::max(oldVersion, r.version);
  }
  BatchOf(FileChange(1000, 10, "a\\back", 7));
  ASSERT_EQ(Catalog(task).count(1000), 1u);
  EXPECT_GT(Catalog(task).at(1000).version, oldVersion);

  // Loading the store keeps the live entries only, as memory does.
  auto reloaded = OpenTask("docs", "D:\\DATA\\", "", Stores());
  ASSERT_TRUE(reloaded->storeOpen.load());
  EXPECT_TRUE(SameCatalog(Catalog(*reloaded), Catalog(task), true));
}

TEST_F(StoreCompactionTest, CompactedStoreHoldsOneRecordPerLiveEntryAndLoadsAsTheCatalog) {
  SyncTask& task = AddTask();
  Churn();
  const std::map<uint64_t, Held> before = Catalog(task);
  const uint32_t oldId = task.storeId.load();
  const int64_t oldSize = task.store.storeSize.load();
  const int64_t lastUsn = task.lastUsn;

  ASSERT_TRUE(CompactStore(task).ok()) << log_.Lines().back();
  EXPECT_NE(task.storeId.load(), oldId);
  EXPECT_FALSE(std::filesystem::exists(Compaction(task)));
  EXPECT_EQ(log_.Matching("compacted:").size(), 1u);
  EXPECT_TRUE(SameCatalog(Catalog(task), before, false));

  // The file: header, one record per live entry (directories first,
  // parents before children), the journal position, nothing else.
  StoreContents contents(task.store.path);
  EXPECT_TRUE(contents.damageOffsets.empty());
  ASSERT_FALSE(contents.records.empty());
  EXPECT_EQ(contents.records.front().state, StateHeader);
  EXPECT_EQ(contents.records.front().version, task.storeId.load());
  std::vector<StoredRecord> entries = contents.Entries();
  ASSERT_EQ(entries.size(), before.size());
  EXPECT_EQ(entries[0].name, "a");
  EXPECT_EQ(entries[1].name, "a\\b");
  for (size_t i = 2; i < entries.size(); ++i) {
    EXPECT_NE(entries[i].state, StateDirectory) << entries[i].name;
  }
  ASSERT_GT(lastUsn, 0);
  EXPECT_EQ(contents.records.back().usn, lastUsn);
  const int64_t newSize = task.store.storeSize.load();
  EXPECT_LT(newSize * 5, oldSize);

  // A fresh scan of the same tree writes about as much.
  {
    StoreOptions other = Stores();
    other.directory = programDir_ + "fresh/";
    auto fresh = OpenTask("docs", "D:\\DATA\\", "", other);
    std::vector<CatalogRecord> copies;
    {
      ReaderLock lock(&task.catalogLock);
      for (const auto& [ref, e] : task.entries) {
        const int32_t length =
            kRecordHeaderSize + static_cast<int32_t>(e.nameView().size());
        CatalogRecord copy = CatalogRecord::Allocate(length);
        std::memcpy(copy.data(), e.data(), static_cast<size_t>(length));
        record::SetLength(copy.data(), length);
        copy.data()[length - 1] = 0;
        copies.push_back(std::move(copy));
      }
    }
    for (CatalogRecord& copy : copies) {
      ASSERT_TRUE(WriteRecord(fresh->store, copy, true).ok());
    }
    ASSERT_TRUE(FlushBuffer(fresh->store, true).ok());
    const int64_t freshSize = fresh->store.storeSize.load();
    EXPECT_LE(newSize, 2 * freshSize);
    // Renamed entries carry their previous name; a marker closes the store.
    EXPECT_LE(newSize, freshSize + 5 * 16 + 2 * kRecordHeaderSize);
  }

  // Loading the compacted store gives the catalog, sequence numbers too.
  auto reloaded = OpenTask("docs", "D:\\DATA\\", "", Stores());
  ASSERT_TRUE(reloaded->storeOpen.load());
  EXPECT_EQ(reloaded->storeId.load(), task.storeId.load());
  EXPECT_EQ(reloaded->lastUsn, lastUsn);
  EXPECT_TRUE(SameCatalog(Catalog(*reloaded), Catalog(task), true));

  // Compactions in quick succession never give an id again.
  std::set<uint32_t> ids{oldId, task.storeId.load()};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(CompactStore(task).ok());
    EXPECT_TRUE(ids.insert(task.storeId.load()).second) << task.storeId.load();
  }

  // Writing goes on behind the new records.
  BatchOf(FileChange(100, 10, "a\\f0", 99), DeletionEvent(101),
          FileChange(5000, 10, "a\\new", 1));
  auto again = OpenTask("docs", "D:\\DATA\\", "", Stores());
  EXPECT_TRUE(SameCatalog(Catalog(*again), Catalog(task), true));
  EXPECT_EQ(Catalog(*again).at(100).size, 99u);
  EXPECT_EQ(Catalog(*again).count(101), 0u);
}

// The "not carried" mark follows an entry's name: set when the name leaves
// no room under the root (logged once), kept by later changes and by a
// compaction, dropped when a rename brings the name back within the room.
TEST_F(StoreCompactionTest, NotCarriedMarksFollowTheNameAndSurviveCompaction) {
  SyncTask& task = AddTask();
  task.store.nameRoom = 12;
  BatchOf(DirChange(10, 1, "a"), FileChange(7000, 10, "a\\far-too-long", 1),
          FileChange(7001, 10, "a\\short", 1));
  auto marks = [&] {
    std::ifstream in(task.store.path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::map<uint64_t, bool> out;
    for (const StoredRecord& r : StoreContents(task.store.path).Entries()) {
      out[r.fileRef] =
          ReadExtras(reinterpret_cast<const uint8_t*>(bytes.data()) + r.offset).notCarried;
    }
    return out;
  };
  EXPECT_TRUE(marks()[7000]);
  EXPECT_FALSE(marks()[7001]);
  EXPECT_FALSE(marks()[10]);
  BatchOf(FileChange(7000, 10, "a\\far-too-long", 2));
  EXPECT_TRUE(marks()[7000]);
  ASSERT_TRUE(CompactStore(task).ok());
  EXPECT_TRUE(marks()[7000]);
  EXPECT_FALSE(marks()[7001]);
  EXPECT_EQ(log_.Matching("not carried").size(), 1u);

  BatchOf(FileChange(7000, 10, "a\\back", 3));
  EXPECT_FALSE(marks()[7000]);
  EXPECT_EQ(log_.Matching("not carried").size(), 1u);
}

TEST_F(StoreCompactionTest, CompactsOnceDeadRecordsPassLiveOnesAndTheFloor) {
  SyncTask& task = AddTask();
  volume_.storeOptions.compactMinDeadBytes = 64 * 1024;
  Churn(100);
  // Below the floor: no compaction.
  EXPECT_TRUE(log_.Matching("compacted:").empty());
  const uint32_t oldId = task.storeId.load();

  // A task waiting for its rebuild is never compacted: its store is all
  // that says so after a restart.
  task.needsRebuild.store(true);
  EXPECT_FALSE(CompactionDue(task, 0));
  task.needsRebuild.store(false);

  for (int round = 0; round < 20 && log_.Matching("compacted:").empty(); ++round) {
    std::vector<CatalogRecord> batch;
    for (int i = 0; i < 100; ++i) {
      batch.push_back(FileChange(20000 + i, 10, "a\\churn" + std::to_string(i), 1));
    }
    Batch(std::move(batch));
    batch.clear();
    for (int i = 0; i < 100; ++i) batch.push_back(DeletionEvent(20000 + i));
    Batch(std::move(batch));
  }
  ASSERT_EQ(log_.Matching("compacted:").size(), 1u);
  EXPECT_NE(task.storeId.load(), oldId);
  // At most a batch was written behind the compacted records.
  EXPECT_LE(task.store.storeSize.load(), LiveRecordBytes(task) + 16 * 1024);
  auto reloaded = OpenTask("docs", "D:\\DATA\\", "", Stores());
  EXPECT_TRUE(SameCatalog(Catalog(*reloaded), Catalog(task), true));
}

TEST_F(StoreCompactionTest, FailedCompactionLeavesTheStoreAsItWas) {
  SyncTask& task = AddTask();
  Churn(100);
  const std::map<uint64_t, Held> before = Catalog(task);
  const uint32_t oldId = task.storeId.load();
  int failures = 0;
  for (int n = 1; n < 100; ++n) {
    const std::vector<uint8_t> bytes = ReadFileBytes(task.store.path);
    stepEnv_.Arm(n, StepEnv::Action::kFail);
    Status compacted = CompactStore(task);
    stepEnv_.Disarm();
    if (compacted.ok()) break;
    ++failures;
    EXPECT_EQ(ReadFileBytes(task.store.path), bytes) << "step " << n;
    EXPECT_FALSE(std::filesystem::exists(Compaction(task))) << "step " << n;
    EXPECT_EQ(task.storeId.load(), oldId);
    EXPECT_TRUE(SameCatalog(Catalog(task), before, true)) << "step " << n;
    // The store goes on as before.
    auto reloaded = OpenTask("docs", "D:\\DATA\\", "", Stores());
    EXPECT_TRUE(SameCatalog(Catalog(*reloaded), before, true)) << "step " << n;
  }
  // Open, writes, syncs and the rename each failed once.
  EXPECT_GE(failures, 5);
  EXPECT_EQ(log_.Matching(": compaction failed").size(), 1u);
  EXPECT_NE(task.storeId.load(), oldId);
  auto reloaded = OpenTask("docs", "D:\\DATA\\", "", Stores());
  EXPECT_TRUE(SameCatalog(Catalog(*reloaded), Catalog(task), true));
}

TEST_F(StoreCompactionTest, KilledCompactionLeavesAStoreThatLoads) {
  SyncTask& task = AddTask();
  Churn(100);
  const std::map<uint64_t, Held> expected = Catalog(task);
  int kills = 0;
  bool finished = false;
  for (int k = 1; k < 100 && !finished; ++k) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      stepEnv_.Arm(k, StepEnv::Action::kKill);
      ::_exit(CompactStore(task).ok() ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status)) {
      ASSERT_EQ(WEXITSTATUS(status), 0) << "step " << k;
      finished = true;
    } else {
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
      ++kills;
    }
    // Whatever the moment, the store loads whole and holds the catalog.
    auto loaded = OpenTask("docs", "D:\\DATA\\", "", Stores());
    ASSERT_TRUE(loaded->storeOpen.load()) << "step " << k;
    EXPECT_TRUE(loaded->store.damaged.empty()) << "step " << k;
    EXPECT_FALSE(loaded->needsRebuild.load()) << "step " << k;
    EXPECT_TRUE(SameCatalog(Catalog(*loaded), expected, false)) << "step " << k;
    EXPECT_FALSE(std::filesystem::exists(Compaction(task))) << "step " << k;
  }
  EXPECT_TRUE(finished);
  EXPECT_GE(kills, 5);
}

}  // namespace
}  // namespace dirsync
