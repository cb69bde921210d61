#include "tracking/volume_monitor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "catalog/catalog_changes.h"
#include "catalog/catalog_record.h"
#include "tracking/monitor_test_util.h"

namespace dirsync {
namespace {

// The system, but the first few reads of journal events fail with EIO.
class FailingReads final : public EnvWrapper {
 public:
  explicit FailingReads(int failures)
      : EnvWrapper(Env::Default()), failuresLeft_(failures) {}
  Status ReadSome(int fd, void* buffer, size_t size, size_t* got) override {
    if (failuresLeft_.fetch_sub(1) > 0) {
      *got = 0;
      return Status::IOError("read", EIO);
    }
    return EnvWrapper::ReadSome(fd, buffer, size, got);
  }

 private:
  std::atomic<int> failuresLeft_;
};

using testing::EntryOf;
using testing::LogCapture;
using testing::ReadStore;
using testing::RecordsOf;
using testing::ReferenceOfPath;
using testing::RunWriter;
using testing::StoredRecord;

// The current catalog entry of a reference, decoded.
struct Entry {
  bool present = false;
  uint8_t state = 0;
  uint32_t version = 0;
  std::string name;
  std::string oldName;
  uint64_t parentRef = 0;
  uint64_t size = 0;
};

Entry Current(SyncTask* task, uint64_t ref) {
  Entry e;
  std::vector<uint8_t> bytes = EntryOf(task, ref);
  if (bytes.empty()) {
    // An entry that left the tree is forgotten once its departure is
    // written; the store's last record of it says where it went.
    std::vector<StoredRecord> records = RecordsOf(task, ref);
    if (records.empty() || (records.back().state() != StateDeleted &&
                            records.back().state() != StateDirDeleted)) {
      return e;
    }
    bytes = records.back().bytes;
  } else {
    e.present = true;
  }
  e.state = record::State(bytes.data());
  e.version = record::Version(bytes.data());
  e.name = std::string(record::NameView(bytes.data()));
  if (e.state == StateRenamed) e.oldName = std::string(record::OldNameView(bytes.data()));
  e.parentRef = record::ParentRef(bytes.data());
  e.size = record::FileSize(bytes.data());
  return e;
}

uint64_t FileTimeOf(const struct statx_timestamp& t) {
  return ToFileTime({t.tv_sec, t.tv_nsec});
}

class VolumeMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = testing::JournalUnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
    volume_ = env_.tree() / "vol";
    outside_ = env_.tree() / "outside";
    root_ = volume_ + "/Root";
    ASSERT_EQ(::mkdir(volume_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(outside_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(root_.c_str(), 0755), 0);
  }

  std::string R(const std::string& relative) { return root_ + "/" + relative; }
  std::string V(const std::string& relative) { return volume_ + "/" + relative; }

  // Runs a writer script, then waits until its changes reached task.
  void Change(SyncTask* task, const std::vector<std::string>& script) {
    ASSERT_EQ(RunWriter(script), 0);
    ASSERT_TRUE(env_.Settle(task, root_));
  }

  testing::MonitoredVolumes env_;
  std::string volume_;
  std::string outside_;
  std::string root_;
};

TEST_F(VolumeMonitorTest, FullScanBuildsTheStoreWithExcludedSubtreesLeftOut) {
  ASSERT_EQ(RunWriter({"write " + R("a.txt") + " 5", "mkdir " + R("Sub"),
                       "write " + R("Sub/b.bin") + " 1000", "mkdir " + R("Sub/Deep"),
                       "write " + R("Sub/Deep/c") + " 0", "mkdir " + R("skip"),
                       "write " + R("skip/x") + " 1", "mkdir " + R("Sub/tmp"),
                       "write " + R("Sub/tmp/y") + " 1", "write " + V("elsewhere") + " 1"}),
            0);
  env_.AddVolume('J', volume_, 30);
  SyncTask* task = env_.AddTask("scan", "J:\\Root", "skip;Sub\\tmp");
  LogCapture log;
  ASSERT_TRUE(env_.Start());

  std::vector<StoredRecord> records = ReadStore(task);
  ASSERT_GE(records.size(), 7u);
  EXPECT_EQ(records[0].state(), StateHeader);
  EXPECT_EQ(records[0].sequence(), 1);
  EXPECT_EQ(records[0].bytes.size(), 66u);

  std::map<std::string, const StoredRecord*> byName;
  for (size_t i = 1; i < records.size(); ++i) {
    if (records[i].state() == StateFiller) continue;
    byName[records[i].name()] = &records[i];
    EXPECT_EQ(records[i].version(), 1u) << records[i].name();
  }
  ASSERT_EQ(byName.size(), 5u);
  for (const char* name : {"a.txt", "Sub", "Sub\\b.bin", "Sub\\Deep", "Sub\\Deep\\c"}) {
    EXPECT_TRUE(byName.count(name)) << name;
  }
  EXPECT_EQ(byName["Sub"]->state(), StateDirectory);
  EXPECT_EQ(byName["Sub"]->fileSize(), 0u);
  const StoredRecord* b = byName["Sub\\b.bin"];
  EXPECT_EQ(b->state(), StateAdded);
  EXPECT_EQ(b->fileSize(), 1000u);
  EXPECT_EQ(record::ParentRef(b->bytes.data()), ReferenceOfPath(R("Sub")));
  struct statx st;
  ASSERT_EQ(::statx(AT_FDCWD, R("Sub/b.bin").c_str(), 0, STATX_MTIME | STATX_BTIME, &st), 0);
  EXPECT_EQ(b->lastWriteTime(), FileTimeOf(st.stx_mtime));
  EXPECT_EQ(record::CreationTime(b->bytes.data()),
            FileTimeOf((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_ctime));
  // The forced save after the scan: a position marker.
  EXPECT_EQ(records.back().state(), StateFiller);
  EXPECT_GT(records.back().usn(), 0);

  std::string text = log.text();
  EXPECT_NE(text.find("Start Scan [J] From 0\n"), std::string::npos);
  EXPECT_NE(text.find("Init_Volume filecount=5,"), std::string::npos);
}

TEST_F(VolumeMonitorTest, FileChangesReachTheStore) {
  ASSERT_EQ(::mkdir(R("Dir1").c_str(), 0755), 0);
  env_.AddVolume('J', volume_, 20);
  SyncTask* task = env_.AddTask("files", "J:\\Root");
  LogCapture log;
  ASSERT_TRUE(env_.Start());

  Change(task, {"write " + R("f.txt") + " 3"});
  uint64_t f = ReferenceOfPath(R("f.txt"));
  Entry e = Current(task, f);
  EXPECT_EQ(e.state, StateAdded);
  EXPECT_EQ(e.version, 0u);
  EXPECT_EQ(e.name, "f.txt");
  EXPECT_EQ(e.size, 3u);

  Change(task, {"write " + R("f.txt") + " 10"});
  e = Current(task, f);
  EXPECT_EQ(e.state, StateUpdated);
  EXPECT_EQ(e.version, 1u);
  EXPECT_EQ(e.size, 10u);

  Change(task, {"rename " + R("f.txt") + " " + R("g.txt")});
  e = Current(task, f);
  EXPECT_EQ(e.state, StateRenamed);
  EXPECT_EQ(e.name, "g.txt");
  EXPECT_EQ(e.oldName, "f.txt");
  EXPECT_EQ(e.version, 2u);

  Change(task, {"rename " + R("g.txt") + " " + R("G.TXT")});
  e = Current(task, f);
  EXPECT_EQ(e.state, StateUpdated);  // letter case only: an update
  EXPECT_EQ(e.name, "G.TXT");

  Change(task, {"rename " + R("G.TXT") + " " + R("Dir1/G.TXT")});
  e = Current(task, f);
  EXPECT_EQ(e.state, StateRenamed);
  EXPECT_EQ(e.name, "Dir1\\G.TXT");
  EXPECT_EQ(e.oldName, "G.TXT");
  EXPECT_EQ(e.parentRef, ReferenceOfPath(R("Dir1")));

  Change(task, {"rename " + R("Dir1/G.TXT") + " " + V("out.txt")});
  e = Current(task, f);
  EXPECT_EQ(e.state, StateDeleted);
  EXPECT_NE(log.text().find("newname = \\\\?\\J:\\out.txt\n"), std::string::npos);

  ASSERT_EQ(RunWriter({"write " + outside_ + "/in.txt 4"}), 0);
  Change(task, {"rename " + outside_ + "/in.txt " + R("in.txt")});
  uint64_t in = ReferenceOfPath(R("in.txt"));
  e = Current(task, in);
  EXPECT_EQ(e.state, StateAdded);
  EXPECT_EQ(e.size, 4u);

  Change(task, {"unlink " + R("in.txt")});
  EXPECT_EQ(Current(task, in).state, StateDeleted);
  EXPECT_EQ(RecordsOf(task, in).back().state(), StateDeleted);
}

TEST_F(VolumeMonitorTest, RenameOverAFileDeletesTheReplacedOne) {
  ASSERT_EQ(RunWriter({"write " + R("a") + " 1", "write " + R("b") + " 2"}), 0);
  uint64_t a = ReferenceOfPath(R("a")), b = ReferenceOfPath(R("b"));
  env_.AddVolume('J', volume_, 20);
  SyncTask* task = env_.AddTask("over", "J:\\Root");
  ASSERT_TRUE(env_.Start());
  Change(task, {"rename " + R("a") + " " + R("b")});
  Entry moved = Current(task, a);
  EXPECT_EQ(moved.state, StateRenamed);
  EXPECT_EQ(moved.name, "b");
  EXPECT_EQ(Current(task, b).state, StateDeleted);
}

TEST_F(VolumeMonitorTest, AFileWrittenManyTimesInAQuietPeriodGetsOneRecord) {
  ASSERT_EQ(RunWriter({"write " + R("busy") + " 1"}), 0);
  uint64_t busy = ReferenceOfPath(R("busy"));
  env_.AddVolume('J', volume_, 400);
  SyncTask* task = env_.AddTask("busy", "J:\\Root");
  ASSERT_TRUE(env_.Start());
  ASSERT_EQ(RecordsOf(task, busy).size(), 1u);
  Change(task, {"writes " + R("busy") + " 40"});
  std::vector<StoredRecord> records = RecordsOf(task, busy);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].state(), StateUpdated);
  EXPECT_EQ(records[1].version(), 2u);
  EXPECT_EQ(records[1].fileSize(), 41u);
}

TEST_F(VolumeMonitorTest, DirectoryChangesReachTheStore) {
  ASSERT_EQ(RunWriter({"mkdir " + R("Hidden"), "mkdir " + R("Hidden/H"),
                       "write " + R("Hidden/H/h") + " 2", "mkdir " + outside_ + "/T",
                       "write " + outside_ + "/T/u 1", "mkdir " + outside_ + "/T/V",
                       "write " + outside_ + "/T/V/w 3"}),
            0);
  env_.AddVolume('J', volume_, 20);
  SyncTask* task = env_.AddTask("dirs", "J:\\Root", "Hidden");
  LogCapture log;
  ASSERT_TRUE(env_.Start());

  Change(task, {"mkdir " + R("D"), "write " + R("D/x") + " 1", "mkdir " + R("E")});
  uint64_t d = ReferenceOfPath(R("D")), x = ReferenceOfPath(R("D/x")),
           eRef = ReferenceOfPath(R("E"));
  EXPECT_EQ(Current(task, d).state, StateDirectory);
  EXPECT_EQ(Current(task, x).name, "D\\x");
  EXPECT_EQ(Current(task, eRef).state, StateDirectory);

  Change(task, {"rmdir " + R("E")});
  EXPECT_EQ(Current(task, eRef).state, StateDeleted);

  // Renamed within the root: the subtree takes the new path.
  Change(task, {"rename " + R("D") + " " + R("D2")});
  EXPECT_EQ(Current(task, d).name, "D2");
  Entry moved = Current(task, x);
  EXPECT_EQ(moved.state, StateRenamed);
  EXPECT_EQ(moved.name, "D2\\x");
  EXPECT_EQ(moved.oldName, "D\\x");

  // Moved out of the root: the directory leaves, its files are deleted.
  size_t before = RecordsOf(task, x).size();
  Change(task, {"rename " + R("D2") + " " + V("Away")});
  EXPECT_EQ(Current(task, d).state, StateDirDeleted);
  EXPECT_EQ(Current(task, x).state, StateDeleted);
  std::vector<StoredRecord> xs = RecordsOf(task, x);
  ASSERT_EQ(xs.size(), before + 1);  // one deletion record
  EXPECT_EQ(xs.back().state(), StateDeleted);

  // Back again: a directory of the root once more, with its contents.
  Change(task, {"rename " + V("Away") + " " + R("Back")});
  EXPECT_EQ(Current(task, d).state, StateDirectory);
  EXPECT_EQ(Current(task, d).name, "Back");
  Entry back = Current(task, x);
  EXPECT_TRUE(IsLiveFileState(back.state));
  EXPECT_EQ(back.name, "Back\\x");

  // Moved in from outside the volume: everything below it comes along.
  Change(task, {"rename " + outside_ + "/T " + R("T")});
  EXPECT_EQ(Current(task, ReferenceOfPath(R("T"))).state, StateDirectory);
  EXPECT_EQ(Current(task, ReferenceOfPath(R("T/u"))).name, "T\\u");
  EXPECT_EQ(Current(task, ReferenceOfPath(R("T/V"))).state, StateDirectory);
  Entry w = Current(task, ReferenceOfPath(R("T/V/w")));
  EXPECT_EQ(w.state, StateAdded);
  EXPECT_EQ(w.name, "T\\V\\w");
  EXPECT_EQ(w.size, 3u);

  // Out of an excluded place: added with its contents.
  Change(task, {"rename " + R("Hidden/H") + " " + R("H")});
  EXPECT_EQ(Current(task, ReferenceOfPath(R("H"))).state, StateDirectory);
  EXPECT_EQ(Current(task, ReferenceOfPath(R("H/h"))).name, "H\\h");
}

TEST_F(VolumeMonitorTest, RestartCatchesUpWithoutAFullScan) {
  ASSERT_EQ(RunWriter({"write " + R("keep") + " 1", "write " + R("change") + " 1",
                       "write " + R("gone") + " 1", "mkdir " + R("Dir"),
                       "write " + R("Dir/inner") + " 1", "mkdir " + R("MovedDir"),
                       "write " + R("MovedDir/m") + " 1"}),
            0);
  uint64_t keep = ReferenceOfPath(R("keep")), change = ReferenceOfPath(R("change")),
           gone = ReferenceOfPath(R("gone")), dir = ReferenceOfPath(R("Dir")),
           inner = ReferenceOfPath(R("Dir/inner")), moved = ReferenceOfPath(R("MovedDir")),
           m = ReferenceOfPath(R("MovedDir/m"));
  // The catch-up reports entries changed up to 1 s before the saved
  // position again; keep "keep" older than that.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  env_.AddVolume('J', volume_, 20);
  SyncTask* task = env_.AddTask("restart", "J:\\Root");
  ASSERT_TRUE(env_.Start());
  env_.Reset();

  ASSERT_EQ(RunWriter({"write " + R("change") + " 20", "unlink " + R("gone"),
                       "write " + R("new") + " 1",
                       "rename " + R("MovedDir") + " " + R("Renamed"),
                       "rename " + R("Dir") + " " + outside_ + "/Dir"}),
            0);
  env_.AddVolume('J', volume_, 20);
  task = env_.AddTask("restart", "J:\\Root");
  LogCapture log;
  ASSERT_TRUE(env_.Start());
  std::string text = log.text();
  EXPECT_EQ(text.find("Start Scan [J] From 0\n"), std::string::npos);
  EXPECT_NE(text.find("Start Scan [J] From "), std::string::npos);
  EXPECT_EQ(text.find("Init_Volume"), std::string::npos);

  EXPECT_EQ(RecordsOf(task, keep).size(), 1u);
  Entry e = Current(task, change);
  EXPECT_EQ(e.state, StateUpdated);
  EXPECT_EQ(e.size, 20u);
  EXPECT_EQ(Current(task, gone).state, StateDeleted);
  EXPECT_EQ(Current(task, ReferenceOfPath(R("new"))).state, StateAdded);
  EXPECT_EQ(Current(task, moved).name, "Renamed");
  EXPECT_EQ(Current(task, m).name, "Renamed\\m");
  EXPECT_EQ(Current(task, dir).state, StateDirDeleted);
  EXPECT_EQ(Current(task, inner).state, StateDeleted);
}

// A directory that left the root, gained entries while away, and came
// back below a directory that was renamed meanwhile, all while the server
// was stopped: the catch-up meets the renamed parent first, finds the
// departed directory below it by reference, and must bring along what is
// inside it now, not only the directory.
TEST_F(VolumeMonitorTest, DepartedDirectoryFoundBackBelowAMovedOneBringsItsContents) {
  ASSERT_EQ(RunWriter({"mkdir " + R("P"), "mkdir " + R("P/Q"), "write " + R("P/Q/q") + " 1"}), 0);
  env_.AddVolume('J', volume_, 20);
  SyncTask* task = env_.AddTask("back", "J:\\Root");
  ASSERT_TRUE(env_.Start());
  uint64_t q = ReferenceOfPath(R("P/Q"));
  Change(task, {"rename " + R("P/Q") + " " + V("AwayQ")});
  ASSERT_EQ(Current(task, q).state, StateDirDeleted);
  ASSERT_EQ(RunWriter({"write " + V("AwayQ/new") + " 4", "mkdir " + V("AwayQ/Sub"),
                       "write " + V("AwayQ/Sub/s") + " 5"}),
            0);
  // What was made while away must be older than the position the store
  // records (the catch-up reports changes up to 1 s before it again).
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Change(task, {"write " + R("tick") + " 1"});
  env_.Reset();

  ASSERT_EQ(RunWriter({"rename " + R("P") + " " + R("P2"),
                       "rename " + V("AwayQ") + " " + R("P2/Q")}),
            0);
  env_.AddVolume('J', volume_, 20);
  task = env_.AddTask("back", "J:\\Root");
  ASSERT_TRUE(env_.Start());
  EXPECT_EQ(Current(task, q).state, StateDirectory);
  EXPECT_EQ(Current(task, q).name, "P2\\Q");
  Entry added = Current(task, ReferenceOfPath(R("P2/Q/new")));
  EXPECT_EQ(added.state, StateAdded);
  EXPECT_EQ(added.name, "P2\\Q\\new");
  EXPECT_EQ(Current(task, ReferenceOfPath(R("P2/Q/Sub"))).state, StateDirectory);
  EXPECT_EQ(Current(task, ReferenceOfPath(R("P2/Q/Sub/s"))).name, "P2\\Q\\Sub\\s");
  EXPECT_TRUE(IsLiveFileState(Current(task, ReferenceOfPath(R("P2/Q/q"))).state));
}

TEST_F(VolumeMonitorTest, TasksOnOneVolumeAndOnTwoVolumes) {
  std::string second = env_.tree() / "vol2";
  ASSERT_EQ(::mkdir(second.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(R("A").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(R("B").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((second + "/C").c_str(), 0755), 0);
  env_.AddVolume('J', volume_, 20);
  env_.AddVolume('K', second, 20);
  SyncTask* a = env_.AddTask("a", "J:\\Root\\A");
  SyncTask* b = env_.AddTask("b", "J:\\Root\\B");
  SyncTask* all = env_.AddTask("all", "J:\\Root");
  SyncTask* c = env_.AddTask("c", "K:\\C");
  ASSERT_TRUE(env_.Start());

  ASSERT_EQ(RunWriter({"write " + R("A/f") + " 1", "write " + second + "/C/g 2"}), 0);
  ASSERT_TRUE(env_.Settle(a, R("A")));
  ASSERT_TRUE(env_.Settle(c, second + "/C"));
  uint64_t f = ReferenceOfPath(R("A/f")), g = ReferenceOfPath(second + "/C/g");
  EXPECT_EQ(Current(a, f).name, "f");
  EXPECT_EQ(Current(all, f).name, "A\\f");  // overlapping roots: both record it
  EXPECT_FALSE(Current(b, f).present);
  EXPECT_EQ(Current(c, g).name, "g");
  EXPECT_FALSE(Current(a, g).present);

  ASSERT_EQ(RunWriter({"rename " + R("A/f") + " " + R("B/f")}), 0);
  ASSERT_TRUE(env_.Settle(b, R("B")));
  EXPECT_EQ(Current(a, f).state, StateDeleted);
  EXPECT_EQ(Current(b, f).state, StateAdded);
  Entry inAll = Current(all, f);
  EXPECT_EQ(inAll.state, StateRenamed);
  EXPECT_EQ(inAll.name, "B\\f");
}

TEST_F(VolumeMonitorTest, LostEventsAreCaughtUpDeletionsIncluded) {
  ASSERT_EQ(RunWriter({"write " + R("doomed") + " 1", "mkdir " + R("many")}), 0);
  uint64_t doomed = ReferenceOfPath(R("doomed"));
  env_.AddVolume('J', volume_, 20);
  SyncTask* task = env_.AddTask("lost", "J:\\Root");
  VolumeJournal::Options limited;
  limited.unlimitedQueue = false;  // 16,384 events, then an overflow
  LogCapture log;
  ASSERT_TRUE(env_.Start(limited));
  std::vector<std::string> script = {"unlink " + R("doomed")};
  // More than the queue holds even after the monitor's first read took a
  // whole buffer (256 KiB, about 3,100 events) before it blocked.
  constexpr int kFiles = 20000;
  for (int i = 0; i < kFiles; ++i) {
    script.push_back("write " + R("many/f" + std::to_string(i)) + " 0");
  }
  {
    // The monitor cannot move a batch into pending meanwhile, so it stops
    // reading and the queue overflows.
    MutexLock hold(&env_.volume('J')->lock);
    ASSERT_EQ(RunWriter(script), 0);
  }
  ASSERT_TRUE(env_.Settle(task, root_));
  EXPECT_NE(log.text().find("caught up after lost events"), std::string::npos);
  // Its deletion was recorded; the entry is gone from the catalog (and,
  // should the store have been compacted since, from the store too).
  EXPECT_NE(log.text().find("oldname = doomed"), std::string::npos);
  EXPECT_FALSE(Current(task, doomed).present);
  EXPECT_NE(Current(task, doomed).state, StateAdded);
  int added = 0;
  {
    ReaderLock lock(&task->catalogLock);
    for (const auto& [ref, entry] : task->entries) {
      // Added from an event, or seen again by the catch-up walk (an update).
      if (entry.nameView().substr(0, 6) == "many\\f" && IsLiveFileState(entry.state())) {
        ++added;
      }
    }
  }
  EXPECT_EQ(added, kFiles);
}

TEST_F(VolumeMonitorTest, FailingReadsAreRetriedAfterGrowingPauses) {
  env_.AddVolume('J', volume_, 20);
  SyncTask* task = env_.AddTask("retry", "J:\\Root");
  FailingReads env(5);
  VolumeJournal::Options failing;
  failing.env = &env;
  LogCapture log;
  testing::StopsAtEnd stops(env_);
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(env_.Start(failing));
  Change(task, {"write " + R("after") + " 1"});
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(log.Count("failed to read journal records:"), 5);
  // Pauses of 10, 20, 40, 80 and 160 ms.
  EXPECT_GE(elapsed, std::chrono::milliseconds(310));
  EXPECT_EQ(Current(task, ReferenceOfPath(R("after"))).state, StateAdded);
}

// The highest journal position a task's store records on an entry: the
// stamp of the last batch applied to it (which entry of the batch carries
// it depends on the batch's order).
int64_t LastStampedPosition(SyncTask* task) {
  int64_t highest = 0;
  for (const StoredRecord& r : ReadStore(task)) {
    if (r.state() != StateFiller && r.state() != StateHeader) {
      highest = std::max(highest, r.usn());
    }
  }
  return highest;
}

// A position saved while a change waits must not cover that change. The
// filesystem is shared with other processes, whose changes may join the
// test's batches, so the test holds the server to positions, not to which
// entry a batch ends with.
TEST_F(VolumeMonitorTest, PeriodicSavesRecordOnlyAppliedPositions) {
  ASSERT_EQ(::mkdir(R("A").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(R("B").c_str(), 0755), 0);
  env_.AddVolume('J', volume_, 1500);
  SyncTask* a = env_.AddTask("a", "J:\\Root\\A");
  SyncTask* b = env_.AddTask("b", "J:\\Root\\B");
  // The second change is one move into the root (made outside the volume
  // beforehand), so one read brings it whole.
  ASSERT_EQ(RunWriter({"write " + outside_ + "/second 1"}), 0);
  ASSERT_TRUE(env_.Start());
  ASSERT_EQ(RunWriter({"write " + R("A/first") + " 1"}), 0);
  ASSERT_TRUE(env_.Settle(a, R("A")));
  ASSERT_FALSE(RecordsOf(a, ReferenceOfPath(R("A/first"))).empty());
  int64_t applied = LastStampedPosition(a);
  ASSERT_GT(applied, 0);

  // The next read triggers a save while its own change still waits; a long
  // quiet period from now on keeps it waiting however slow the machine is.
  {
    MutexLock guard(&env_.volume('J')->lock);
    env_.volume('J')->timeout = 60000;
    env_.volume('J')->changed.Signal();
  }
  b->positionSavedOn = 0;
  env_.volume('J')->changesSinceSave = 5000;
  ASSERT_EQ(RunWriter({"rename " + outside_ + "/second " + R("A/second")}), 0);
  uint64_t second = ReferenceOfPath(R("A/second"));
  int64_t savedInB = 0;
  ASSERT_TRUE(env_.WaitUntil([&] {
    for (const StoredRecord& r : ReadStore(b)) {
      if (r.state() == StateFiller && r.bytes.size() == 66) savedInB = std::max(savedInB, r.usn());
    }
    return savedInB >= applied;
  }, 20000));
  {
    MutexLock guard(&env_.volume('J')->lock);
    EXPECT_EQ(env_.volume('J')->pending.count(second), 1u);  // still waits
  }
  EXPECT_TRUE(RecordsOf(a, second).empty());

  // Once applied, the batch that holds it is stamped with a position at or
  // after the read that brought it, which the saved one must lie below.
  {
    MutexLock guard(&env_.volume('J')->lock);
    env_.volume('J')->timeout = 10;
    env_.volume('J')->changed.Signal();
  }
  ASSERT_TRUE(env_.WaitUntil([&] { return !RecordsOf(a, second).empty(); }, 20000));
  EXPECT_LT(savedInB, LastStampedPosition(a));
}

TEST_F(VolumeMonitorTest, PendingChangesAreAppliedAtShutdown) {
  env_.AddVolume('J', volume_, 60000);
  SyncTask* task = env_.AddTask("exit", "J:\\Root");
  LogCapture log;
  ASSERT_TRUE(env_.Start());
  ASSERT_EQ(RunWriter({"write " + R("late") + " 7"}), 0);
  uint64_t late = ReferenceOfPath(R("late"));
  ASSERT_TRUE(env_.WaitUntil([&] {
    MutexLock guard(&env_.volume('J')->lock);
    return env_.volume('J')->pending.count(late) != 0;
  }));
  env_.Stop();
  std::vector<StoredRecord> records = RecordsOf(task, late);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].fileSize(), 7u);
  EXPECT_NE(log.text().find(" pending changes applied before exit"), std::string::npos);
}

}  // namespace
}  // namespace dirsync
