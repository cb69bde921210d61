#include "tracking/initial_build.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tracking/volume_watch.h"
#include "catalog/catalog_record.h"
#include "tracking/file_ref_lookup.h"
#include "tracking/monitor_test_util.h"

namespace dirsync {
namespace {

using testing::LogCapture;
using testing::ReadStore;
using testing::ReferenceOfPath;
using testing::StoredRecord;

CatalogRecord EntryRecord(uint64_t ref, uint64_t parent, uint8_t state,
                          uint32_t version, const std::string& name) {
  CatalogRecord r = CatalogRecord::Allocate(
      static_cast<int32_t>(kRecordHeaderSize + name.size()));
  r.set_fileRef(ref);
  r.set_parentRef(parent);
  r.set_state(state);
  r.set_version(version);
  std::memcpy(r.mutable_name(), name.data(), name.size());
  return r;
}

// A volume J: vol/Root/{a.txt (5 bytes), Sub/, Sub/b (7 bytes)} with the
// scan maps a full scan would leave, and a journal to look entries up.
class InitialBuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = testing::JournalUnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
    volumeDir_ = env_.tree() / "vol";
    ASSERT_EQ(testing::RunWriter({"mkdir " + volumeDir_, "mkdir " + R(""),
                                  "write " + R("a.txt") + " 5", "mkdir " + R("Sub"),
                                  "write " + R("Sub/b") + " 7"}),
              0);
    env_.AddVolume('J', volumeDir_, 10);
    volume_ = env_.volume('J');
    Status opened = VolumeJournal::Open("\\\\.\\J:", env_.drives(), {}, &journal_);
    ASSERT_TRUE(opened.ok()) << opened.ToString();
    vol_ = ReferenceOfPath(volumeDir_);
    root_ = ReferenceOfPath(R(""));
    a_ = ReferenceOfPath(R("a.txt"));
    sub_ = ReferenceOfPath(R("Sub"));
    b_ = ReferenceOfPath(R("Sub/b"));
    AddDir(vol_, 0, "");
    AddDir(root_, vol_, "Root");
    AddDir(sub_, root_, "Sub");
    AddFile(a_, root_, "a.txt", 1);
    AddFile(b_, sub_, "b", 1);
  }

  std::string R(const std::string& relative) {
    return volumeDir_ + "/Root" + (relative.empty() ? "" : "/" + relative);
  }
  void AddDir(uint64_t ref, uint64_t parent, const std::string& name) {
    scan_.dirNodes[ref] = DirNode{parent, nullptr, name, ""};
    AddFile(ref, parent, name, 6);
  }
  void AddFile(uint64_t ref, uint64_t parent, const std::string& name, int32_t state) {
    FileNode node;
    node.parentRef = parent;
    node.name = name;
    node.state = state;
    scan_.fileNodes[ref] = std::move(node);
  }
  const CatalogRecord* Entry(SyncTask* task, uint64_t ref) { return FindEntry(*task, ref); }

  testing::MonitoredVolumes env_;
  std::string volumeDir_;
  VolumeWatch* volume_ = nullptr;
  VolumeScan scan_;
  std::unique_ptr<VolumeJournal> journal_;
  uint64_t vol_ = 0, root_ = 0, a_ = 0, sub_ = 0, b_ = 0;
};

TEST_F(InitialBuildTest, AddsWhatLiesBelowEachRootWithVersionOne) {
  SyncTask* all = env_.AddTask("all", "J:\\Root");
  SyncTask* sub = env_.AddTask("sub", "J:\\Root\\Sub");
  SyncTask* noSub = env_.AddTask("nosub", "J:\\Root", "Sub");
  LogCapture log;
  EXPECT_EQ(InitVolume(volume_->tasks, &scan_, *journal_), 5);  // a: 2, Sub: 1, b: 2
  EXPECT_TRUE(scan_.dirNodes.empty());
  EXPECT_TRUE(scan_.fileNodes.empty());

  ASSERT_NE(Entry(all, a_), nullptr);
  EXPECT_EQ(Entry(all, a_)->version(), 1u);
  EXPECT_EQ(Entry(all, a_)->state(), StateAdded);
  EXPECT_EQ(Entry(all, a_)->nameView(), "a.txt");
  EXPECT_EQ(Entry(all, a_)->fileSize(), 5u);
  EXPECT_EQ(Entry(all, a_)->parentRef(), root_);
  EXPECT_EQ(Entry(all, sub_)->state(), StateDirectory);
  EXPECT_EQ(Entry(all, b_)->nameView(), "Sub\\b");
  EXPECT_EQ(Entry(sub, b_)->nameView(), "b");
  EXPECT_EQ(Entry(sub, sub_), nullptr);  // a root is no entry of itself
  EXPECT_EQ(Entry(noSub, sub_), nullptr);
  EXPECT_EQ(Entry(noSub, b_), nullptr);
  EXPECT_EQ(Entry(all, root_), nullptr);
  EXPECT_EQ(all->dirIndex[root_].count(sub_), 1u);

  struct statx st;
  ASSERT_EQ(::statx(AT_FDCWD, R("Sub/b").c_str(), 0, STATX_MTIME | STATX_BTIME, &st), 0);
  EXPECT_EQ(Entry(all, b_)->lastWriteTime(),
            ToFileTime({st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec}));

  // New stores: the header first, then the build's records, all flushed.
  std::vector<StoredRecord> records = ReadStore(all);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].state(), StateHeader);
  EXPECT_EQ(records[0].sequence(), 1);
  EXPECT_EQ(all->store.buffer.size(), 0u);
  EXPECT_EQ(log.Count(" Add: state = "), 0);  // logDetail is off
}

TEST_F(InitialBuildTest, KnownEntriesStayButDepartedDirectoriesComeBack) {
  SyncTask* task = env_.AddTask("known", "J:\\Root");
  task->entries[a_] = EntryRecord(a_, root_, StateDeleted, 3, "a.txt");
  task->entries[sub_] = EntryRecord(sub_, root_, StateDirDeleted, 2, "Sub");
  task->logDetail = true;
  LogCapture log;
  EXPECT_EQ(InitVolume(volume_->tasks, &scan_, *journal_), 3);  // all counted
  EXPECT_EQ(Entry(task, a_)->state(), StateDeleted);
  EXPECT_EQ(Entry(task, a_)->version(), 3u);
  EXPECT_EQ(Entry(task, sub_)->state(), StateDirectory);
  EXPECT_EQ(Entry(task, sub_)->version(), 1u);
  EXPECT_EQ(log.Count(" Add: state = 6, name = Sub\n"), 1);
  EXPECT_EQ(log.Count(" Add: state = 1, name = Sub\\b\n"), 1);
  EXPECT_EQ(log.Count("a.txt"), 0);
}

TEST_F(InitialBuildTest, DeletedItemsAreLoggedForEachTask) {
  env_.AddTask("one", "J:\\Root");
  env_.AddTask("two", "J:\\Root\\Sub");
  scan_.fileNodes[b_].state = -1;
  LogCapture log;
  EXPECT_EQ(InitVolume(volume_->tasks, &scan_, *journal_), 2);  // a and Sub in "one"
  EXPECT_EQ(log.Count(" Init Delete file: \\\\?\\J:\\Root\\Sub\\b\n"), 2);
}

// Names with a backslash (possible on Linux) cannot be told apart from
// paths in the catalog: Root/x\y would be recorded as Root/x/y. They stay
// out of the catalog, with everything below them.
TEST_F(InitialBuildTest, NamesWithABackslashStayOut) {
  ASSERT_EQ(testing::RunWriter({"write " + R("x\\y") + " 2", "mkdir " + R("p\\q"),
                                "write " + R("p\\q/r") + " 3"}),
            0);
  uint64_t xy = ReferenceOfPath(R("x\\y"));
  uint64_t pq = ReferenceOfPath(R("p\\q"));
  uint64_t r = ReferenceOfPath(R("p\\q/r"));
  AddFile(xy, root_, "x\\y", 1);
  AddDir(pq, root_, "p\\q");
  AddFile(r, pq, "r", 1);
  SyncTask* all = env_.AddTask("all", "J:\\Root");
  InitVolume(volume_->tasks, &scan_, *journal_);
  EXPECT_NE(Entry(all, a_), nullptr);
  EXPECT_NE(Entry(all, b_), nullptr);
  EXPECT_EQ(Entry(all, xy), nullptr);
  EXPECT_EQ(Entry(all, pq), nullptr);
  EXPECT_EQ(Entry(all, r), nullptr);
}

TEST_F(InitialBuildTest, DirectoryPathsComeFromTheScanOrTheEntryItself) {
  const std::string& subPath = DirectoryPath(scan_, *journal_, sub_, scan_.dirNodes[sub_]);
  EXPECT_EQ(subPath, "\\\\?\\J:\\Root\\Sub");
  EXPECT_EQ(scan_.dirNodes[root_].path, "\\\\?\\J:\\Root");  // cached on the way
  EXPECT_EQ(scan_.dirNodes[sub_].parent, &scan_.dirNodes[root_]);

  // A parent the scan did not see: the directory's own path.
  scan_.dirNodes.erase(vol_);
  scan_.dirNodes[root_].path.clear();
  scan_.dirNodes[sub_].path.clear();
  EXPECT_EQ(DirectoryPath(scan_, *journal_, sub_, scan_.dirNodes[sub_]),
            "\\\\?\\J:\\Root\\Sub");

  // A parent chain that runs in a circle ends, logged. (References that
  // open nothing: an unlikely generation in the high word.)
  const uint64_t x = 0x7eadbeef00000065ULL, y = 0x7eadbeef00000066ULL;
  scan_.dirNodes[x] = DirNode{y, nullptr, "x", ""};
  scan_.dirNodes[y] = DirNode{x, nullptr, "y", ""};
  LogCapture log;
  EXPECT_EQ(DirectoryPath(scan_, *journal_, x, scan_.dirNodes[x]), "x");
  EXPECT_EQ(DirectoryPath(scan_, *journal_, y, scan_.dirNodes[y]), "x\\y");
  EXPECT_EQ(log.Count("directory cycle at " + std::to_string(static_cast<int64_t>(x))), 1);
}

}  // namespace
}  // namespace dirsync
