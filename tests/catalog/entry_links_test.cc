// Files with several names in the catalog: each name is an entry of its
// own, changes that list every name add, rename, update and delete names
// one by one, and the catalog with its index of names comes back whole
// from the store, or as the disk holds it after a failed write.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "catalog/catalog_changes.h"
#include "catalog/catalog_store.h"
#include "catalog/entry_links.h"
#include "catalog/record_extension.h"
#include "store_test_util.h"
#include "tracking/volume_watch.h"

namespace dirsync {
namespace {

using testing_util::StoreContents;
using testing_util::StoredRecord;

constexpr uint64_t kFile = 0x1234000000000042ULL;
constexpr uint64_t kDirA = 10;
constexpr uint64_t kDirB = 11;
constexpr uint64_t kRoot = 1;

std::string InRoot(const std::string& rel) { return "\\\\?\\D:\\DATA\\" + rel; }

CatalogRecord DirChange(uint64_t ref, const std::string& rel) {
  CatalogRecord r = CatalogRecord::Allocate(kChangeRecordSize);
  r.set_fileRef(ref);
  r.set_parentRef(kRoot);
  r.set_state(StateDirectory);
  std::string path = InRoot(rel);
  std::copy(path.begin(), path.end(), r.mutable_name());
  return r;
}

// A change of kFile listing names (parent, relative path), as the journal
// monitor makes it once it has checked them.
CatalogRecord NameSet(uint64_t size,
                      const std::vector<std::pair<uint64_t, std::string>>& names) {
  CatalogRecord plain = CatalogRecord::Allocate(kRecordHeaderSize);
  plain.set_fileRef(kFile);
  plain.set_state(StateAdded);
  plain.set_fileSize(size);
  plain.set_lastWriteTime(1000 + size);
  std::vector<LinkName> full;
  for (const auto& [parent, rel] : names) full.push_back({parent, InRoot(rel)});
  return MakeNameSetChange(plain, full);
}

// Every entry of the file: name -> (state, size, key is the file's own).
using Names = std::map<std::string, std::tuple<int, uint64_t, bool>>;
Names NamesOf(const SyncTask& task) NO_THREAD_SAFETY_ANALYSIS {
  Names names;
  for (const auto& [key, entry] : task.entries) {
    if (FileOfEntry(entry) != kFile) continue;
    EXPECT_EQ(entry.fileRef(), key);
    names[std::string(entry.nameView())] = {entry.state(), entry.fileSize(),
                                            key == kFile};
  }
  return names;
}
size_t IndexedNames(const SyncTask& task) NO_THREAD_SAFETY_ANALYSIS {
  auto it = task.links.find(kFile);
  return it == task.links.end() ? 0 : it->second.size();
}

class EntryLinksTest : public testing_util::TrackingTest {
 protected:
  SyncTask& OpenVolumeTask() {
    volume_ = std::make_unique<VolumeWatch>('D', 10000);
    std::unique_ptr<SyncTask>& slot = volume_->tasks["links"];
    slot = OpenTask("links", "D:\\DATA\\", "", Stores());
    return *slot;
  }
  Status Apply(CatalogRecord change, bool confirm = false) {
    MutexLock guard(&volume_->lock);
    PendingChanges pending;
    uint64_t ref = change.fileRef();
    pending.emplace(ref, std::move(change));
    std::unordered_set<uint64_t> confirmOnly;
    if (confirm) confirmOnly.insert(ref);
    return ApplyPendingChanges(volume_->tasks, pending, 0,
                               StoreWriteMode::kOneWritePerBatch, nullptr,
                               &confirmOnly);
  }
  std::unique_ptr<VolumeWatch> volume_;
};

TEST_F(EntryLinksTest, EachNameIsAnEntryOfItsOwnAndSurvivesARestart) {
  SyncTask& task = OpenVolumeTask();
  ASSERT_TRUE(Apply(DirChange(kDirA, "A")).ok());
  ASSERT_TRUE(Apply(DirChange(kDirB, "B")).ok());
  ASSERT_TRUE(Apply(NameSet(3, {{kDirA, "A\\f"}})).ok());
  EXPECT_EQ(NamesOf(task), (Names{{"A\\f", {StateAdded, 3, true}}}));

  // ln A/f B/f; ln A/f g: two more entries, the first name keeps the
  // file's own reference.
  ASSERT_TRUE(Apply(NameSet(3, {{kDirB, "B\\f"}, {kDirA, "A\\f"}, {kRoot, "g"}})).ok());
  EXPECT_EQ(NamesOf(task), (Names{{"A\\f", {StateUpdated, 3, true}},
                                  {"B\\f", {StateAdded, 3, false}},
                                  {"g", {StateAdded, 3, false}}}));
  EXPECT_EQ(IndexedNames(task), 2u);

  // rm A/f: that name alone goes.
  ASSERT_TRUE(Apply(NameSet(3, {{kDirB, "B\\f"}, {kRoot, "g"}})).ok());
  EXPECT_EQ(NamesOf(task), (Names{{"A\\f", {StateDeleted, 3, true}},
                                  {"B\\f", {StateUpdated, 3, false}},
                                  {"g", {StateUpdated, 3, false}}}));

  // mv g g2: a rename of that name's entry.
  const size_t seen = StoreContents(task.store.path).Entries().size();
  ASSERT_TRUE(Apply(NameSet(3, {{kRoot, "g2"}, {kDirB, "B\\f"}})).ok());
  std::vector<StoredRecord> written = StoreContents(task.store.path).Entries();
  ASSERT_GT(written.size(), seen);
  bool renamed = false;
  for (size_t i = seen; i < written.size(); ++i) {
    if (written[i].name == "g2") {
      renamed = written[i].state == StateRenamed && written[i].oldName == "g";
    }
  }
  EXPECT_TRUE(renamed);

  // A write through one name: every name takes the new size.
  ASSERT_TRUE(Apply(NameSet(9, {{kDirB, "B\\f"}, {kRoot, "g2"}})).ok());
  const Names live{{"A\\f", {StateDeleted, 3, true}},
                   {"B\\f", {StateUpdated, 9, false}},
                   {"g2", {StateUpdated, 9, false}}};
  EXPECT_EQ(NamesOf(task), live);

  // The store brings back the names, their keys and the index.
  volume_.reset();
  SyncTask& again = OpenVolumeTask();
  // The name that left is forgotten once its departure is on disk.
  Names reloaded = live;
  reloaded.erase("A\\f");
  EXPECT_EQ(NamesOf(again), reloaded);
  EXPECT_EQ(IndexedNames(again), 2u);

  // A name made again takes the file's own key back; a walk that finds
  // what the catalog holds records nothing.
  ASSERT_TRUE(Apply(NameSet(9, {{kDirA, "A\\f"}, {kDirB, "B\\f"}, {kRoot, "g2"}})).ok());
  EXPECT_EQ(std::get<0>(NamesOf(again)["A\\f"]), StateAdded);
  EXPECT_GT(std::get<1>(NamesOf(again)["A\\f"]), 3u);
  const size_t before = StoreContents(again.store.path).Entries().size();
  ASSERT_TRUE(Apply(NameSet(9, {{kRoot, "g2"}, {kDirA, "A\\f"}, {kDirB, "B\\f"}}),
                    true).ok());
  EXPECT_EQ(StoreContents(again.store.path).Entries().size(), before);

  // The file deleted: every name goes.
  CatalogRecord gone = CatalogRecord::Allocate(kRecordHeaderSize);
  gone.set_fileRef(kFile);
  gone.set_state(StateDeleted);
  ASSERT_TRUE(Apply(std::move(gone)).ok());
  for (const auto& [name, values] : NamesOf(again)) {
    EXPECT_EQ(std::get<0>(values), StateDeleted) << name;
  }
}

// A name whose record did not reach the disk is no entry, and the index
// forgets it; applied again once the disk takes writes, it is.
TEST_F(EntryLinksTest, FailedWriteForgetsTheNamesItAdded) {
  class FailingWrites final : public EnvWrapper {
   public:
    FailingWrites() : EnvWrapper(Env::Default()) {}
    bool failing = false;
    Status PWrite(int fd, const void* bytes, size_t count, off_t offset) override {
      if (failing) return Status::FromErrno("pwrite", ENOSPC);
      return EnvWrapper::PWrite(fd, bytes, count, offset);
    }
  } disk;
  env_ = &disk;
  SyncTask& task = OpenVolumeTask();
  ASSERT_TRUE(Apply(DirChange(kDirA, "A")).ok());
  ASSERT_TRUE(Apply(NameSet(3, {{kDirA, "A\\f"}})).ok());
  disk.failing = true;
  EXPECT_FALSE(Apply(NameSet(3, {{kDirA, "A\\f"}, {kDirA, "A\\h"}})).ok());
  EXPECT_EQ(NamesOf(task), (Names{{"A\\f", {StateAdded, 3, true}}}));
  EXPECT_EQ(IndexedNames(task), 0u);
  disk.failing = false;
  ASSERT_TRUE(Apply(NameSet(3, {{kDirA, "A\\f"}, {kDirA, "A\\h"}})).ok());
  EXPECT_EQ(NamesOf(task).size(), 2u);
  EXPECT_EQ(IndexedNames(task), 1u);
  volume_.reset();
  env_ = Env::Default();
}

// Records of before the trailer existed, and records with bytes behind
// their names that are no trailer, name the entry's own reference.
TEST(EntryLinkTrailer, OnlyATaggedTrailerBehindTheNamesCounts) {
  CatalogRecord plain = CatalogRecord::Allocate(kRecordHeaderSize + 20);
  plain.set_fileRef(77);
  plain.set_state(StateAdded);
  std::memcpy(plain.mutable_name(), "name", 4);
  EXPECT_EQ(FileOfEntry(plain), 77u);
  StampLinkTrailer(plain, 5);
  EXPECT_EQ(FileOfEntry(plain), 5u);
  // A longer name running into the trailer's place: no trailer.
  std::memcpy(plain.mutable_name(), "a much longer name", 18);
  EXPECT_EQ(FileOfEntry(plain), 77u);
}

// A further name's trailer and the extension of its type and permissions
// share the bytes behind the names: writing either keeps the other, and a
// change that carries every name of a file keeps its extension.
TEST(EntryLinkBytesTest, TrailerAndExtensionLiveSideBySide) {
  CatalogRecord entry = CatalogRecord::Allocate(kRecordHeaderSize + 3);
  entry.set_fileRef(777);
  entry.set_state(StateAdded);
  std::memcpy(entry.mutable_name(), "a\\b", 3);
  WriteExtras(entry, ExtrasForMode(0100600));
  StampLinkTrailer(entry, 42);
  ASSERT_TRUE(HasLinkTrailer(entry.data()));
  EXPECT_EQ(FileOfEntry(entry), 42u);
  EXPECT_EQ(ReadExtras(entry.data()).mode, 0100600u);
  EXPECT_EQ(entry.nameView(), "a\\b");

  WriteExtras(entry, ExtrasForMode(0120777));  // now a link
  EXPECT_FALSE(HasLinkTrailer(entry.data()));  // the writer stamps it again
  StampLinkTrailer(entry, 42);
  EXPECT_EQ(FileOfEntry(entry), 42u);
  EXPECT_TRUE(ReadExtras(entry.data()).isLink());

  CatalogRecord change = CatalogRecord::Allocate(kRecordHeaderSize + 9);
  change.set_fileRef(42);
  change.set_state(StateAdded);
  std::memcpy(change.mutable_name(), "\\\\?\\J:\\x", 9);
  WriteExtras(change, ExtrasForMode(0100640));
  CatalogRecord set = MakeNameSetChange(change, {{1, "\\\\?\\J:\\x"}, {2, "\\\\?\\J:\\y"}});
  std::vector<LinkName> names;
  ASSERT_TRUE(ReadNameSet(set, &names));
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[1].path, "\\\\?\\J:\\y");
  EXPECT_EQ(names[1].parentRef, 2u);
  EXPECT_EQ(ReadExtras(set.data()).mode, 0100640u);
}

}  // namespace
}  // namespace dirsync
