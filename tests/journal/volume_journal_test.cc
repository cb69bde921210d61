#include "journal/volume_journal.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "platform/log.h"
#include "platform/drive_map.h"
#include "journal/journal_test_util.h"
#include "support/test_support.h"

namespace dirsync {
namespace {

using testing::LogCapture;
using testing::ReferenceOfPath;
using testing::RunWriter;
using testing::TempTree;

using Records = std::vector<JournalRecord>;

int64_t NowNanoseconds() {
  struct timespec t;
  ::clock_gettime(CLOCK_REALTIME, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

const JournalRecord* LastOf(const Records& records, uint64_t ref) {
  const JournalRecord* found = nullptr;
  for (const JournalRecord& r : records) {
    if (r.fileRef == ref) found = &r;
  }
  return found;
}

const JournalRecord* LastNamed(const Records& records, const std::string& name) {
  const JournalRecord* found = nullptr;
  for (const JournalRecord& r : records) {
    if (r.name == name) found = &r;
  }
  return found;
}

class VolumeJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = testing::JournalUnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
    volume_ = tree_ / "vol";
    outside_ = tree_ / "outside";
    ASSERT_EQ(::mkdir(volume_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(outside_.c_str(), 0755), 0);
    drives_.Set('J', volume_);
  }

  std::unique_ptr<VolumeJournal> OpenJournal(
      const VolumeJournal::Options& options = {}) {
    std::unique_ptr<VolumeJournal> journal;
    Status opened = VolumeJournal::Open("\\\\.\\J:", drives_, options, &journal);
    EXPECT_TRUE(opened.ok()) << opened.ToString();
    return journal;
  }

  // Reads until done(records so far) holds or 10 s pass.
  Records ReadUntil(VolumeJournal& journal,
                    const std::function<bool(const Records&)>& done) {
    Records all;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done(all) && std::chrono::steady_clock::now() < deadline) {
      int64_t next = 0;
      JournalBatch batch;
      if (journal.Read(0, &next, &batch, 100) ==
          VolumeJournal::ReadResult::kRecords) {
        for (JournalRecord& r : batch.records) all.push_back(std::move(r));
      }
    }
    return all;
  }

  Records WalkAll(VolumeJournal& journal, EnumerationCursor* cursor,
                  int64_t low, int64_t high) {
    Records all;
    JournalBatch batch;
    while (journal.Enumerate(cursor, low, high, &batch)) {
      EXPECT_FALSE(batch.records.empty());
      for (JournalRecord& r : batch.records) all.push_back(std::move(r));
    }
    EXPECT_TRUE(batch.records.empty());
    return all;
  }

  std::string V(const std::string& relative) { return volume_ + "/" + relative; }

  TempTree tree_;
  std::string volume_;
  std::string outside_;
  DriveMap drives_;
};

// ---- opening ----------------------------------------------------------

TEST_F(VolumeJournalTest, QueryGivesTheFilesystemIdAndRisingPositions) {
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  EXPECT_EQ(journal->driveLetter(), 'J');
  struct statfs fs;
  ASSERT_EQ(::statfs(volume_.c_str(), &fs), 0);
  uint64_t expectedId = 0;
  std::memcpy(&expectedId, &fs.f_fsid, sizeof expectedId);

  uint64_t id = 0;
  int64_t first = 0, second = 0;
  int64_t before = NowNanoseconds();
  ASSERT_TRUE(journal->Query(&id, &first));
  ASSERT_TRUE(journal->Query(&id, &second));
  EXPECT_EQ(id, expectedId);
  EXPECT_GE(first, before);
  EXPECT_LT(first, before + 1000000000LL);
  EXPECT_GT(second, first);  // never repeats, even within one clock tick
  int64_t oldest = -1;
  EXPECT_TRUE(journal->OldestPosition(&oldest));
  EXPECT_EQ(oldest, 0);
  EXPECT_TRUE(journal->Create());
}

TEST_F(VolumeJournalTest, OpenFailsWithAReason) {
  std::unique_ptr<VolumeJournal> journal;
  std::string why = VolumeJournal::Open("J:", drives_, {}, &journal).ToString();
  EXPECT_EQ(journal, nullptr);
  EXPECT_NE(why.find("not a volume path"), std::string::npos) << why;

  drives_.Set('K', tree_ / "missing");
  why = VolumeJournal::Open("\\\\.\\K:", drives_, {}, &journal).ToString();
  EXPECT_EQ(journal, nullptr);
  EXPECT_NE(why.find(tree_ / "missing"), std::string::npos) << why;
  EXPECT_NE(why.find(std::strerror(ENOENT)), std::string::npos) << why;
}

// Opens the volume in a child process that lacks one capability and
// returns the reason the open gave.
std::string ReasonWithoutCapability(const DriveMap& drives, int capability) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2];
    std::string why = "capability could not be dropped";
    if (::syscall(SYS_capget, &header, data) == 0) {
      data[capability / 32].effective &= ~(1u << (capability % 32));
      if (::syscall(SYS_capset, &header, data) == 0) {
        std::unique_ptr<VolumeJournal> journal;
        Status opened = VolumeJournal::Open("\\\\.\\J:", drives, {}, &journal);
        why = opened.ok() ? "opened" : opened.ToString();
      }
    }
    ssize_t ignored = ::write(fds[1], why.data(), why.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[512];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return text;
}

TEST_F(VolumeJournalTest, OpenWithoutCapabilitiesNamesTheOneNeeded) {
  EXPECT_EQ(ReasonWithoutCapability(drives_, CAP_SYS_ADMIN),
            std::string("fanotify_init: ") + std::strerror(EPERM) +
                " (needs CAP_SYS_ADMIN)");
  EXPECT_EQ(ReasonWithoutCapability(drives_, CAP_DAC_READ_SEARCH),
            std::string("open_by_handle_at: ") + std::strerror(EPERM) +
                " (needs CAP_DAC_READ_SEARCH)");
}

// ---- enumeration --------------------------------------------------------

TEST_F(VolumeJournalTest, FullWalkReportsEveryEntryOnceWithItsParent) {
  ASSERT_EQ(RunWriter({"mkdir " + V("a"), "mkdir " + V("a/b"),
                       "write " + V("a/b/f1") + " 5", "write " + V("a/f2") + " 1",
                       "write " + V("g") + " 0", "link " + V("g") + " " + V("h"),
                       "symlink a " + V("link")}),
            0);
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  EnumerationCursor cursor = journal->StartEnumeration(true, false);
  Records records = WalkAll(*journal, &cursor, 0, 0);

  uint64_t vol = ReferenceOfPath(volume_), a = ReferenceOfPath(V("a")),
           b = ReferenceOfPath(V("a/b")), f1 = ReferenceOfPath(V("a/b/f1")),
           f2 = ReferenceOfPath(V("a/f2")), g = ReferenceOfPath(V("g")),
           link = ReferenceOfPath(V("link"));
  ASSERT_EQ(records.size(), 8u);  // the volume, 6 names, g's second name
  EXPECT_EQ(records[0].fileRef, vol);
  EXPECT_EQ(records[0].parentRef, 0u);
  EXPECT_TRUE(records[0].directory);

  std::map<std::string, const JournalRecord*> byName;
  std::map<uint64_t, size_t> position;
  for (size_t i = 0; i < records.size(); ++i) {
    byName[records[i].name] = &records[i];
    position.emplace(records[i].fileRef, i);
    EXPECT_FALSE(records[i].deleted);
  }
  EXPECT_EQ(byName["a"]->fileRef, a);
  EXPECT_EQ(byName["a"]->parentRef, vol);
  EXPECT_TRUE(byName["a"]->directory);
  EXPECT_EQ(byName["b"]->parentRef, a);
  EXPECT_EQ(byName["f1"]->fileRef, f1);
  EXPECT_EQ(byName["f1"]->parentRef, b);
  EXPECT_FALSE(byName["f1"]->directory);
  EXPECT_EQ(byName["f2"]->fileRef, f2);
  EXPECT_EQ(byName["g"]->fileRef, g);
  EXPECT_EQ(byName["h"]->fileRef, g);  // a hard link is the same entry
  EXPECT_EQ(byName["link"]->fileRef, link);
  EXPECT_FALSE(byName["link"]->directory);  // never followed
  EXPECT_LT(position[a], position[b]);
  EXPECT_LT(position[b], position[f1]);

  EXPECT_TRUE(cursor.complete());
  EXPECT_EQ(cursor.met().sorted.size(), 7u);
  for (uint64_t ref : {vol, a, b, f1, f2, g, link}) {
    EXPECT_TRUE(cursor.met().Contains(ref));
  }
}

TEST_F(VolumeJournalTest, WalkDoesNotEnterAnotherMount) {
  ASSERT_EQ(::mkdir(V("m").c_str(), 0755), 0);
  if (::mount("tmpfs", V("m").c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  testing::WriteFile(V("m/inner"), "x");
  testing::WriteFile(V("plain"), "x");
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  EnumerationCursor cursor = journal->StartEnumeration(false, false);
  Records records = WalkAll(*journal, &cursor, 0, 0);
  ::umount2(V("m").c_str(), MNT_DETACH);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].name, "plain");
}

TEST_F(VolumeJournalTest, CtimeWindowFiltersRecordsButNotTheMetSet) {
  ASSERT_EQ(RunWriter({"mkdir " + V("d"), "write " + V("d/early") + " 1"}), 0);
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  uint64_t id = 0;
  int64_t high = 0;
  ASSERT_TRUE(journal->Query(&id, &high));
  // ctime follows a coarse clock that lags by up to 5 ms: wait past that.
  ASSERT_EQ(RunWriter({"sleepms 30", "write " + V("d/late") + " 1"}), 0);
  uint64_t d = ReferenceOfPath(V("d")), early = ReferenceOfPath(V("d/early")),
           late = ReferenceOfPath(V("d/late"));

  // [1 - 1 s, high]: everything up to high, nothing changed after it.
  EnumerationCursor cursor = journal->StartEnumeration(true, false);
  Records records = WalkAll(*journal, &cursor, 1, high);
  EXPECT_NE(LastOf(records, early), nullptr);
  EXPECT_EQ(LastOf(records, d), nullptr);  // creating late changed d's ctime
  EXPECT_EQ(LastOf(records, late), nullptr);
  EXPECT_TRUE(cursor.met().Contains(late));

  // A low bound more than 1 s after every change: nothing at all.
  cursor = journal->StartEnumeration(true, false);
  int64_t later = NowNanoseconds() + 1100000000LL;
  records = WalkAll(*journal, &cursor, later, later + 1000000000LL);
  EXPECT_TRUE(records.empty());
  EXPECT_TRUE(cursor.met().Contains(early));
  EXPECT_TRUE(cursor.met().Contains(late));
  EXPECT_TRUE(cursor.complete());

  // Within the 1 s margin below low: still reported.
  cursor = journal->StartEnumeration(false, false);
  records = WalkAll(*journal, &cursor, NowNanoseconds() + 500000000LL,
                    std::numeric_limits<int64_t>::max());
  EXPECT_NE(LastOf(records, late), nullptr);
}

TEST_F(VolumeJournalTest, EnumerateBelowWalksOnlyTheSubtree) {
  ASSERT_EQ(RunWriter({"mkdir " + V("top"), "mkdir " + V("top/sub"),
                       "write " + V("top/sub/f") + " 1", "write " + V("other") + " 1"}),
            0);
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  EnumerationCursor cursor = journal->EnumerateBelow(ReferenceOfPath(V("top")), true);
  Records records = WalkAll(*journal, &cursor, 0, 0);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].name, "sub");
  EXPECT_EQ(records[1].name, "f");
  EXPECT_EQ(records[1].parentRef, ReferenceOfPath(V("top/sub")));
}

// ---- reading ------------------------------------------------------------

TEST_F(VolumeJournalTest, ReadReportsChangesWithParentsNamesAndDeleteBits) {
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  int64_t start = 0;
  uint64_t id = 0;
  ASSERT_TRUE(journal->Query(&id, &start));
  ASSERT_EQ(RunWriter({"mkdir " + V("d"), "write " + V("d/f") + " 10"}), 0);
  uint64_t d = ReferenceOfPath(V("d")), f = ReferenceOfPath(V("d/f"));
  Records records = ReadUntil(*journal, [&](const Records& r) {
    return LastOf(r, d) && LastOf(r, f);
  });
  ASSERT_NE(LastOf(records, d), nullptr);
  EXPECT_TRUE(LastOf(records, d)->directory);
  EXPECT_EQ(LastOf(records, d)->parentRef, ReferenceOfPath(volume_));
  EXPECT_EQ(LastOf(records, d)->name, "d");
  ASSERT_NE(LastOf(records, f), nullptr);
  EXPECT_FALSE(LastOf(records, f)->directory);
  EXPECT_FALSE(LastOf(records, f)->deleted);
  EXPECT_EQ(LastOf(records, f)->parentRef, d);
  EXPECT_EQ(LastOf(records, f)->name, "f");

  ASSERT_EQ(RunWriter({"rename " + V("d/f") + " " + V("d/g")}), 0);
  records = ReadUntil(*journal, [&](const Records& r) { return LastOf(r, f); });
  ASSERT_NE(LastOf(records, f), nullptr);
  EXPECT_EQ(LastOf(records, f)->name, "g");
  EXPECT_FALSE(LastOf(records, f)->deleted);

  ASSERT_EQ(RunWriter({"unlink " + V("d/g"), "rmdir " + V("d")}), 0);
  records = ReadUntil(*journal, [&](const Records& r) {
    return LastOf(r, f) && LastOf(r, d) && LastOf(r, d)->deleted;
  });
  ASSERT_NE(LastOf(records, f), nullptr);
  EXPECT_TRUE(LastOf(records, f)->deleted);
  ASSERT_NE(LastOf(records, d), nullptr);
  EXPECT_TRUE(LastOf(records, d)->deleted);
  EXPECT_TRUE(LastOf(records, d)->directory);
}

TEST_F(VolumeJournalTest, NextPositionIsTheClockBeforeTheRead) {
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  uint64_t id = 0;
  int64_t before = 0;
  ASSERT_TRUE(journal->Query(&id, &before));
  ASSERT_EQ(RunWriter({"write " + V("p") + " 1"}), 0);
  struct statx st;
  ASSERT_EQ(::statx(AT_FDCWD, V("p").c_str(), 0, STATX_CTIME, &st), 0);
  int64_t ctime = st.stx_ctime.tv_sec * 1000000000LL + st.stx_ctime.tv_nsec;
  int64_t next = 0;
  JournalBatch batch;
  ASSERT_EQ(journal->Read(before, &next, &batch, 5000),
            VolumeJournal::ReadResult::kRecords);
  EXPECT_GT(next, before);
  EXPECT_GE(next, ctime);  // the change lies before the returned position
}

TEST_F(VolumeJournalTest, EventsOutsideTheVolumeAreDroppedButMovesAcrossAreKept) {
  testing::WriteFile(V("leaving"), "x");
  testing::WriteFile(outside_ + "/coming", "x");
  testing::WriteFile(outside_ + "/gone", "x");
  uint64_t gone = ReferenceOfPath(outside_ + "/gone");
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  ASSERT_EQ(RunWriter({"write " + outside_ + "/elsewhere 3",
                       "unlink " + outside_ + "/gone",
                       "rename " + V("leaving") + " " + outside_ + "/left",
                       "rename " + outside_ + "/coming " + V("came"),
                       "write " + V("marker") + " 1"}),
            0);
  uint64_t elsewhere = ReferenceOfPath(outside_ + "/elsewhere"),
           left = ReferenceOfPath(outside_ + "/left"),
           came = ReferenceOfPath(V("came"));
  Records records = ReadUntil(*journal, [&](const Records& r) {
    return LastNamed(r, "marker") && LastOf(r, left) && LastOf(r, came);
  });
  EXPECT_EQ(LastOf(records, elsewhere), nullptr);
  EXPECT_EQ(LastOf(records, gone), nullptr);
  ASSERT_NE(LastOf(records, left), nullptr);
  EXPECT_FALSE(LastOf(records, left)->deleted);
  ASSERT_NE(LastOf(records, came), nullptr);
  EXPECT_EQ(LastOf(records, came)->parentRef, ReferenceOfPath(volume_));

  // The entry that left has a path no task root can match.
  EntryHandle entry = journal->OpenEntry(left);
  std::string path;
  ASSERT_TRUE(journal->FinalPath(entry, &path));
  EXPECT_EQ(path, "\\\\?\\" + outside_ + "/left");
}

TEST_F(VolumeJournalTest, RenameOverAFileReportsTheReplacedFileDeleted) {
  ASSERT_EQ(RunWriter({"write " + V("a") + " 1", "write " + V("b") + " 2"}), 0);
  uint64_t a = ReferenceOfPath(V("a")), b = ReferenceOfPath(V("b"));
  // Forget nothing: a fresh journal has never seen b's place, so the
  // replaced file's lone DELETE_SELF cannot be placed and is kept.
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  ASSERT_EQ(RunWriter({"rename " + V("a") + " " + V("b")}), 0);
  Records records = ReadUntil(*journal, [&](const Records& r) {
    return LastOf(r, a) && LastOf(r, b);
  });
  ASSERT_NE(LastOf(records, a), nullptr);
  EXPECT_EQ(LastOf(records, a)->name, "b");
  EXPECT_FALSE(LastOf(records, a)->deleted);
  ASSERT_NE(LastOf(records, b), nullptr);
  EXPECT_TRUE(LastOf(records, b)->deleted);
}

TEST_F(VolumeJournalTest, AFileCreatedAndDeletedBeforeTheReadIsADelete) {
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  ASSERT_EQ(RunWriter({"write " + V("brief") + " 4", "unlink " + V("brief"),
                       "write " + V("marker") + " 1"}),
            0);
  Records records = ReadUntil(*journal, [&](const Records& r) {
    return LastNamed(r, "marker") && LastNamed(r, "brief");
  });
  ASSERT_NE(LastNamed(records, "brief"), nullptr);
  EXPECT_TRUE(LastNamed(records, "brief")->deleted);
}

TEST_F(VolumeJournalTest, AnUnlinkedButOpenFileNoLongerExists) {
  testing::WriteFile(V("held"), "x");
  uint64_t held = ReferenceOfPath(V("held"));
  int fd = ::open(V("held").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  ASSERT_EQ(RunWriter({"unlink " + V("held")}), 0);
  Records records = ReadUntil(*journal, [&](const Records& r) {
    return LastOf(r, held);
  });
  ASSERT_NE(LastOf(records, held), nullptr);
  EXPECT_TRUE(LastOf(records, held)->deleted);
  EXPECT_FALSE(journal->OpenEntry(held).valid());
  ::close(fd);
}

TEST_F(VolumeJournalTest, OwnEventsAreDroppedUnlessAsked) {
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  testing::WriteFile(V("own"), "x");
  ASSERT_EQ(RunWriter({"write " + V("marker") + " 1"}), 0);
  Records records = ReadUntil(*journal, [&](const Records& r) {
    return LastNamed(r, "marker");
  });
  ASSERT_NE(LastNamed(records, "marker"), nullptr);
  EXPECT_EQ(LastNamed(records, "own"), nullptr);

  VolumeJournal::Options keepOwn;
  keepOwn.dropOwnEvents = false;
  auto tests = OpenJournal(keepOwn);
  ASSERT_NE(tests, nullptr);
  testing::WriteFile(V("own2"), "x");
  records = ReadUntil(*tests, [&](const Records& r) { return LastNamed(r, "own2"); });
  EXPECT_NE(LastNamed(records, "own2"), nullptr);
}

// Whether a fanotify group of this process holds an exclusion (ignore
// mark) for the inode ino: read from the groups' /proc fdinfo.
bool HasIgnoreMarkOn(ino_t ino) {
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "fanotify ino:%lx ",
                static_cast<unsigned long>(ino));
  for (int fd = 0; fd < 1024; ++fd) {
    char link[64], target[64] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (::readlink(link, target, sizeof target - 1) <= 0 ||
        std::strcmp(target, "anon_inode:[fanotify]") != 0) {
      continue;
    }
    std::snprintf(link, sizeof link, "/proc/self/fdinfo/%d", fd);
    std::ifstream info(link);
    std::string line;
    while (std::getline(info, line)) {
      size_t at = line.find("ignored_mask:");
      if (line.rfind(wanted, 0) == 0 && at != std::string::npos &&
          std::strtoul(line.c_str() + at + 13, nullptr, 16) != 0) {
        return true;
      }
    }
  }
  return false;
}

TEST_F(VolumeJournalTest, TheOwnLogIsExcludedInTheKernelOnlyOutsideTheVolume) {
  const std::string outsideLog = outside_ + "/server.log";
  const std::string insideLog = V("inside.log");
  const std::string linkedLog = outside_ + "/linked.log";
  int outsideFd = ::open(outsideLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int insideFd = ::open(insideLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int linkedFd = ::open(linkedLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  ASSERT_GE(outsideFd, 0);
  ASSERT_GE(insideFd, 0);
  ASSERT_GE(linkedFd, 0);
  // A second name inside the volume: its changes must still be seen.
  ASSERT_EQ(::link(linkedLog.c_str(), V("linked.log").c_str()), 0);
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);

  VolumeJournal::Options options;
  options.ownOutputs = {outsideFd, insideFd, linkedFd, pipeFds[1]};
  auto journal = OpenJournal(options);
  ASSERT_NE(journal, nullptr);
  struct stat st;
  ASSERT_EQ(::stat(outsideLog.c_str(), &st), 0);
  EXPECT_TRUE(HasIgnoreMarkOn(st.st_ino));
  ASSERT_EQ(::stat(insideLog.c_str(), &st), 0);
  EXPECT_FALSE(HasIgnoreMarkOn(st.st_ino));
  ASSERT_EQ(::stat(linkedLog.c_str(), &st), 0);
  EXPECT_FALSE(HasIgnoreMarkOn(st.st_ino));

  // Changes of the volume, the log inside it included, are still read.
  ASSERT_EQ(RunWriter({"append " + outsideLog + " 10", "append " + insideLog + " 10",
                       "append " + V("linked.log") + " 10", "write " + V("marker") + " 1"}),
            0);
  Records records = ReadUntil(*journal, [&](const Records& r) {
    return LastNamed(r, "marker") && LastNamed(r, "inside.log") &&
           LastOf(r, ReferenceOfPath(linkedLog));
  });
  EXPECT_NE(LastNamed(records, "marker"), nullptr);
  EXPECT_NE(LastNamed(records, "inside.log"), nullptr);
  EXPECT_NE(LastOf(records, ReferenceOfPath(linkedLog)), nullptr);
  EXPECT_EQ(LastOf(records, ReferenceOfPath(outsideLog)), nullptr);
  for (int fd : {outsideFd, insideFd, linkedFd, pipeFds[0], pipeFds[1]}) ::close(fd);
}

TEST_F(VolumeJournalTest, ReadTimesOutAndStopWakesIt) {
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  int64_t next = 0;
  JournalBatch batch;
  // Deletions elsewhere whose directory is gone too (other tests removing
  // their trees) are reported, so a read may also find records.
  using Result = VolumeJournal::ReadResult;
  Result result = Result::kRecords;
  for (int i = 0; i < 100 && result == Result::kRecords; ++i) {
    result = journal->Read(0, &next, &batch, 20);
  }
  EXPECT_EQ(result, Result::kTimedOut);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    journal->Stop();
  });
  do {
    result = journal->Read(0, &next, &batch);
  } while (result == Result::kRecords);
  EXPECT_EQ(result, Result::kStopped);
  stopper.join();
  EXPECT_EQ(journal->Read(0, &next, &batch), Result::kStopped);
}

TEST_F(VolumeJournalTest, OverflowCatchesUpAndTellsWhatTheWalkMet) {
  testing::WriteFile(V("doomed"), "x");
  uint64_t doomed = ReferenceOfPath(V("doomed"));
  VolumeJournal::Options limited;
  limited.unlimitedQueue = false;  // 16,384 events, then an overflow
  auto journal = OpenJournal(limited);
  ASSERT_NE(journal, nullptr);
  LogCapture log;
  std::vector<std::string> script = {"unlink " + V("doomed"), "mkdir " + V("many")};
  for (int i = 0; i < 16600; ++i) {
    script.push_back("write " + V("many/f" + std::to_string(i)) + " 0");
  }
  ASSERT_EQ(RunWriter(script), 0);

  JournalBatch caughtUp;
  std::set<std::string> names;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!caughtUp.caughtUp && std::chrono::steady_clock::now() < deadline) {
    int64_t next = 0;
    JournalBatch batch;
    if (journal->Read(0, &next, &batch, 200) != VolumeJournal::ReadResult::kRecords) {
      continue;
    }
    for (const JournalRecord& r : batch.records) names.insert(r.name);
    if (batch.caughtUp) caughtUp = std::move(batch);
  }
  ASSERT_TRUE(caughtUp.caughtUp);
  EXPECT_NE(log.text().find("event queue overflowed, catching up from"),
            std::string::npos);
  EXPECT_TRUE(caughtUp.met.complete);
  EXPECT_FALSE(caughtUp.met.Contains(doomed));
  EXPECT_TRUE(caughtUp.met.Contains(ReferenceOfPath(V("many/f16599"))));
  // Every file created reached the reader, through events or the walk.
  for (int i = 0; i < 16600; ++i) {
    ASSERT_TRUE(names.count("f" + std::to_string(i))) << i;
  }
}

// ---- entries by reference -----------------------------------------------

TEST_F(VolumeJournalTest, FinalPathsAreInTheDriveFormWithTheDiskCase) {
  ASSERT_EQ(RunWriter({"mkdir " + V("Sub"), "write " + V("Sub/File.TXT") + " 3"}), 0);
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  uint64_t sub = ReferenceOfPath(V("Sub")), file = ReferenceOfPath(V("Sub/File.TXT"));

  std::string path;
  uint64_t parent = 0;
  EntryHandle root = journal->OpenEntry(ReferenceOfPath(volume_));
  ASSERT_TRUE(journal->FinalPath(root, &path));
  EXPECT_EQ(path, "\\\\?\\J:");
  EntryHandle entry = journal->OpenEntry(file);
  ASSERT_TRUE(entry.valid());
  EXPECT_FALSE(entry.directory());
  ASSERT_TRUE(journal->FinalPath(entry, &path, &parent));
  EXPECT_EQ(path, "\\\\?\\J:\\Sub\\File.TXT");
  EXPECT_EQ(parent, sub);
  EntryHandle dir = journal->OpenEntry(sub);
  ASSERT_TRUE(journal->FinalPath(dir, &path, &parent));
  EXPECT_EQ(path, "\\\\?\\J:\\Sub");
  EXPECT_EQ(parent, ReferenceOfPath(volume_));

  // After a rename of the directory the path follows.
  ASSERT_EQ(RunWriter({"rename " + V("Sub") + " " + V("Moved")}), 0);
  EntryHandle again = journal->OpenEntry(file);
  ASSERT_TRUE(journal->FinalPath(again, &path, &parent));
  EXPECT_EQ(path, "\\\\?\\J:\\Moved\\File.TXT");

  // Another mapped directory gives that drive's letter.
  testing::WriteFile(outside_ + "/o", "x");
  drives_.Set('M', outside_);
  EntryHandle other = journal->OpenEntry(ReferenceOfPath(outside_ + "/o"));
  ASSERT_TRUE(journal->FinalPath(other, &path));
  EXPECT_EQ(path, "\\\\?\\M:\\o");
}

// A backslash inside a Linux name would read as a separator in the drive
// form, making "a\b" the same path as a/b: such entries, and everything
// below them, keep their Linux form, which lies below no task's root.
TEST_F(VolumeJournalTest, ANameWithABackslashHasNoDriveForm) {
  ASSERT_EQ(RunWriter({"mkdir " + V("a"), "write " + V("a/b") + " 1",
                       "write " + V("a\\b") + " 2", "mkdir " + V("c\\d"),
                       "write " + V("c\\d/e") + " 3"}),
            0);
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  std::string path;
  ASSERT_TRUE(journal->FinalPath(journal->OpenEntry(ReferenceOfPath(V("a/b"))), &path));
  EXPECT_EQ(path, "\\\\?\\J:\\a\\b");
  ASSERT_TRUE(journal->FinalPath(journal->OpenEntry(ReferenceOfPath(V("a\\b"))), &path));
  EXPECT_EQ(path, "\\\\?\\" + V("a\\b"));
  ASSERT_TRUE(journal->FinalPath(journal->OpenEntry(ReferenceOfPath(V("c\\d/e"))), &path));
  EXPECT_EQ(path, "\\\\?\\" + V("c\\d/e"));
}

TEST_F(VolumeJournalTest, AHardLinkResolvesToANameThatStillExists) {
  ASSERT_EQ(RunWriter({"write " + V("g") + " 1", "mkdir " + V("x"),
                       "link " + V("g") + " " + V("x/h")}),
            0);
  uint64_t g = ReferenceOfPath(V("g"));
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  // The walk remembers the names it saw; the later one (x/h) wins.
  EnumerationCursor cursor = journal->StartEnumeration(false, true);
  WalkAll(*journal, &cursor, 0, 0);
  ASSERT_EQ(RunWriter({"unlink " + V("x/h")}), 0);
  std::string path;
  EntryHandle entry = journal->OpenEntry(g);
  ASSERT_TRUE(journal->FinalPath(entry, &path));
  EXPECT_EQ(path, "\\\\?\\J:\\g");
}

TEST_F(VolumeJournalTest, AttributesAreSizeAndFileTimes) {
  ASSERT_EQ(RunWriter({"write " + V("sized") + " 12345"}), 0);
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  struct statx st;
  ASSERT_EQ(::statx(AT_FDCWD, V("sized").c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st), 0);
  EntryHandle entry = journal->OpenEntry(ReferenceOfPath(V("sized")));
  EntryAttributes attributes;
  ASSERT_TRUE(journal->Attributes(entry, &attributes));
  EXPECT_EQ(attributes.fileSize, 12345u);
  EXPECT_EQ(attributes.lastWriteTime,
            ToFileTime({st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec}));
  const struct statx_timestamp& born =
      (st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_ctime;
  EXPECT_EQ(attributes.creationTime, ToFileTime({born.tv_sec, born.tv_nsec}));
  EXPECT_FALSE(journal->OpenEntry(0x7fffffff12345678ULL).valid());
}

TEST_F(VolumeJournalTest, PathsPastTheSystemsLimitAreBuiltFromTheirDirectories) {
  // Directories of 250-byte names, made relative to each other so that
  // the chain can pass the 4,095 bytes the system resolves from "/".
  const std::string name(250, 'n');
  std::vector<std::string> paths;
  std::string path = volume_;
  UniqueFd dir(::open(volume_.c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_TRUE(dir.valid());
  for (int i = 0; i < 18; ++i) {
    ASSERT_EQ(::mkdirat(dir.get(), name.c_str(), 0755), 0);
    UniqueFd next(::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(next.valid());
    dir = std::move(next);
    path += "/" + name;
    paths.push_back(path);
  }
  auto journal = OpenJournal();
  ASSERT_NE(journal, nullptr);
  LogCapture log;
  // Well past the 1,023 bytes of a Windows path, within the system's limit.
  const std::string& deep = paths[12];
  ASSERT_GT(deep.size(), 3000u);
  ASSERT_LT(deep.size(), 4000u);
  std::string windowsPath;
  EntryHandle entry = journal->OpenEntry(ReferenceOfPath(deep));
  ASSERT_TRUE(entry.valid());
  ASSERT_TRUE(journal->FinalPath(entry, &windowsPath));
  EXPECT_EQ(windowsPath.size(), deep.size() - volume_.size() + std::string("\\\\?\\J:").size());
  // Past it: no descriptor's path names the entry; its path is built from
  // its directories' names, up to the one the system still resolves.
  EntryHandle beyond = journal->OpenEntry(testing::ReferenceOfDescriptor(dir.get()));
  ASSERT_TRUE(beyond.valid());
  ASSERT_TRUE(journal->FinalPath(beyond, &windowsPath));
  ASSERT_GT(paths.back().size(), 4095u);
  std::string expected = "\\\\?\\J:" + paths.back().substr(volume_.size());
  std::replace(expected.begin(), expected.end(), '/', '\\');
  EXPECT_EQ(windowsPath, expected);
}

// ---- faults of the machine ----------------------------------------------

// The system, but while `failing` is set every call of the chosen kinds
// fails with `error`, as it does when the process runs out of descriptors
// or memory.
class StarvedEnv final : public EnvWrapper {
 public:
  StarvedEnv() : EnvWrapper(Env::Default()) {}
  std::atomic<bool> failing{false};
  std::atomic<int> error{EMFILE};
  std::atomic<bool> opens{true};    // open_by_handle_at
  std::atomic<bool> stats{false};   // statx
  std::atomic<bool> reads{false};   // getdents64
  std::atomic<bool> names{false};   // name_to_handle_at

  Status OpenByHandle(int mountFd, struct file_handle* handle, int flags,
                      UniqueFd* fd) override {
    if (failing && opens) return Status::FromErrno("open_by_handle_at", error);
    return EnvWrapper::OpenByHandle(mountFd, handle, flags, fd);
  }
  Status StatAt(int dirfd, const char* path, int flags, unsigned mask,
                struct statx* st) override {
    if (failing && stats) return Status::FromErrno("statx", error);
    return EnvWrapper::StatAt(dirfd, path, flags, mask, st);
  }
  Status ReadDirectory(int fd, void* buffer, size_t size, size_t* got) override {
    if (failing && reads) return Status::FromErrno("getdents64", error);
    return EnvWrapper::ReadDirectory(fd, buffer, size, got);
  }
  Status HandleAt(int dirfd, const char* path, int flags,
                  struct file_handle* handle, int* mountId) override {
    if (failing && names) return Status::FromErrno("name_to_handle_at", error);
    return EnvWrapper::HandleAt(dirfd, path, flags, handle, mountId);
  }
};

// A lookup that fails for want of descriptors or memory proves nothing: no
// entry is reported deleted for it, none is dropped, and OpenEntry says
// which kind of failure it was.
TEST_F(VolumeJournalTest, LookupsThatFailAreNoDeletions) {
  ASSERT_EQ(RunWriter({"write " + V("kept") + " 1", "write " + V("gone") + " 1"}), 0);
  uint64_t kept = ReferenceOfPath(V("kept")), gone = ReferenceOfPath(V("gone"));
  StarvedEnv env;
  VolumeJournal::Options options;
  options.env = &env;
  auto journal = OpenJournal(options);
  ASSERT_NE(journal, nullptr);

  for (int error : {EMFILE, ENFILE, ENOMEM, EIO}) {
    SCOPED_TRACE(error);
    env.error = error;
    env.failing = true;
    ASSERT_EQ(RunWriter({"write " + V("kept") + " 2", "write " + V("new") + " 1",
                         "unlink " + V("new")}),
              0);
    Records records = ReadUntil(*journal, [&](const Records& r) {
      return LastOf(r, kept) != nullptr;
    });
    env.failing = false;
    const JournalRecord* k = LastOf(records, kept);
    ASSERT_NE(k, nullptr) << "an event whose directory could not be looked up "
                             "was dropped";
    EXPECT_FALSE(k->deleted);
    EXPECT_TRUE(k->unresolved);
    // The kernel said DELETE_SELF: that one is gone whatever the open says.
    const JournalRecord* n = LastNamed(records, "new");
    ASSERT_NE(n, nullptr);
    EXPECT_TRUE(n->deleted);

    EntryHandle entry;
    env.failing = true;
    Status opened = journal->OpenEntry(kept, &entry);
    EXPECT_FALSE(opened.ok());
    EXPECT_FALSE(opened.IsNotFound());
    EXPECT_EQ(opened.error(), error);
    env.failing = false;
    EXPECT_TRUE(journal->OpenEntry(kept, &entry).ok());
  }

  // Proof of absence is what makes a deletion.
  ASSERT_EQ(RunWriter({"unlink " + V("gone")}), 0);
  EntryHandle entry;
  EXPECT_TRUE(journal->OpenEntry(gone, &entry).IsNotFound());
}

// A walk that meets a failing call does not pass for complete: what it
// did not see must not be taken for gone.
TEST_F(VolumeJournalTest, WalksThatMissSomethingAreIncomplete) {
  ASSERT_EQ(RunWriter({"mkdir " + V("d"), "write " + V("d/f") + " 1",
                       "write " + V("g") + " 1"}),
            0);
  StarvedEnv env;
  VolumeJournal::Options options;
  options.env = &env;
  auto journal = OpenJournal(options);
  ASSERT_NE(journal, nullptr);
  struct Kind {
    const char* name;
    std::atomic<bool>* flag;
  };
  const Kind kinds[] = {{"opens", &env.opens}, {"stats", &env.stats},
                        {"reads", &env.reads}, {"names", &env.names}};
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    env.opens = env.stats = env.reads = env.names = false;
    *kind.flag = true;
    EnumerationCursor cursor = journal->StartEnumeration(true, false);
    env.failing = true;
    Records records = WalkAll(*journal, &cursor, 0, NowNanoseconds());
    env.failing = false;
    EXPECT_FALSE(cursor.complete());
    EXPECT_FALSE(cursor.met().complete);
  }
  env.opens = true;
  EnumerationCursor cursor = journal->StartEnumeration(true, false);
  Records records = WalkAll(*journal, &cursor, 0, NowNanoseconds());
  EXPECT_TRUE(cursor.complete());
  EXPECT_NE(LastNamed(records, "f"), nullptr);
  // Walks that keep what they met tell each entry's change time.
  for (const JournalRecord& r : records) EXPECT_GT(r.changeTime, 0) << r.name;
}

// The system, but while `failing` is set directories read by any thread
// but `walker` fail with EIO: only what is read ahead fails.
class FailsAheadEnv final : public EnvWrapper {
 public:
  FailsAheadEnv() : EnvWrapper(Env::Default()) {}
  std::atomic<bool> failing{false};
  std::thread::id walker = std::this_thread::get_id();
  Status ReadDirectory(int fd, void* buffer, size_t size, size_t* got) override {
    if (failing && std::this_thread::get_id() != walker) {
      return Status::FromErrno("getdents64", EIO);
    }
    return EnvWrapper::ReadDirectory(fd, buffer, size, got);
  }
};

// A whole-volume walk has directories read ahead of it on a second thread;
// what it reports, and in which order, is what a walk alone reports: every
// directory, one with more entries than are read ahead, and a failure met
// only ahead of the walk, which leaves it incomplete.
TEST_F(VolumeJournalTest, ReadAheadWalksReportWhatAWalkAloneReports) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one processor";
  for (int d = 0; d < 6; ++d) {
    const std::string dir = V("d" + std::to_string(d));
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir + "/sub").c_str(), 0755), 0);
    const int files = d == 3 ? 9000 : 20;
    for (int i = 0; i < files; ++i) {
      UniqueFd fd(::open((dir + "/f" + std::to_string(i)).c_str(),
                         O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
      ASSERT_TRUE(fd.valid());
    }
  }
  FailsAheadEnv env;
  VolumeJournal::Options options;
  options.env = &env;
  auto journal = OpenJournal(options);
  ASSERT_NE(journal, nullptr);
  auto places = [](const Records& records) {
    std::vector<std::tuple<uint64_t, uint64_t, std::string, bool>> out;
    for (const JournalRecord& r : records) {
      out.emplace_back(r.fileRef, r.parentRef, r.name, r.directory);
    }
    return out;
  };
  EnumerationCursor alone = journal->EnumerateBelow(ReferenceOfPath(volume_), false);
  auto expected = places(WalkAll(*journal, &alone, 0, 0));
  ASSERT_EQ(expected.size(), 6u * 2 + 5 * 20 + 9000);

  EnumerationCursor ahead = journal->StartEnumeration(false, false, true);
  Records records = WalkAll(*journal, &ahead, 0, 0);
  ASSERT_FALSE(records.empty());
  records.erase(records.begin());  // the volume itself
  EXPECT_TRUE(places(records) == expected);
  EXPECT_TRUE(ahead.complete());

  EnumerationCursor failing = journal->StartEnumeration(false, false, true);
  env.failing = true;
  records = WalkAll(*journal, &failing, 0, 0);
  env.failing = false;
  EXPECT_LT(records.size(), expected.size());
  EXPECT_FALSE(failing.complete());
}

TEST(VolumeJournalTmpfsTest, TwelveByteHandlesWorkAlike) {
  std::string why = testing::JournalUnavailableReason();
  if (!why.empty()) GTEST_SKIP() << why;
  struct stat st;
  if (::stat("/dev/shm", &st) != 0) GTEST_SKIP() << "no /dev/shm here";
  TempTree tree("/dev/shm");
  DriveMap drives;
  drives.Set('T', tree.path());
  std::unique_ptr<VolumeJournal> journal;
  Status opened = VolumeJournal::Open("\\\\.\\T:", drives, {}, &journal);
  ASSERT_TRUE(opened.ok()) << opened.ToString();
  ASSERT_EQ(RunWriter({"mkdir " + (tree / "d"), "write " + (tree / "d/f") + " 7"}), 0);
  uint64_t f = ReferenceOfPath(tree / "d/f");
  JournalBatch batch;
  const JournalRecord* found = nullptr;
  for (int i = 0; i < 50 && found == nullptr; ++i) {
    int64_t next = 0;
    journal->Read(0, &next, &batch, 100);
    found = LastOf(batch.records, f);
  }
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->parentRef, ReferenceOfPath(tree / "d"));
  EntryHandle entry = journal->OpenEntry(f);
  std::string path;
  ASSERT_TRUE(journal->FinalPath(entry, &path));
  EXPECT_EQ(path, "\\\\?\\T:\\d\\f");
}

TEST(FileTimeTest, CountsHundredNanosecondsSince1601) {
  EXPECT_EQ(ToFileTime({0, 0}), 116444736000000000ULL);
  EXPECT_EQ(ToFileTime({1, 150}), 116444736000000000ULL + 10000001ULL);
}

}  // namespace
}  // namespace dirsync
