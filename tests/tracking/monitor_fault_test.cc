// The journal monitor under faults of the machine: lookups that fail for
// want of descriptors, store writes that fail, a store damaged while the
// server was stopped, a store that cannot be opened. Each fault is made by
// an injected Env or by the files themselves; after each the catalog must
// equal the tree, and nothing may have been recorded that was not so.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>

#include "catalog/catalog_record.h"
#include "catalog/catalog_store.h"
#include "tracking/monitor_test_util.h"

namespace dirsync {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::ReadStore;
using testing::RecordsOf;
using testing::ReferenceOfPath;
using testing::RunWriter;
using testing::StoredRecord;

// While `starved` is set, opening entries by handle fails with EMFILE, as
// it does when the process has no descriptor left.
class StarvedJournalEnv final : public EnvWrapper {
 public:
  StarvedJournalEnv() : EnvWrapper(Env::Default()) {}
  std::atomic<bool> starved{false};
  Status OpenByHandle(int mountFd, struct file_handle* handle, int flags,
                      UniqueFd* fd) override {
    if (starved) return Status::FromErrno("open_by_handle_at", EMFILE);
    return EnvWrapper::OpenByHandle(mountFd, handle, flags, fd);
  }
};

// While `full` is set, writes to the store files whose names hold `which`
// fail with ENOSPC.
class FullDiskEnv final : public EnvWrapper {
 public:
  explicit FullDiskEnv(std::string which)
      : EnvWrapper(Env::Default()), which_(std::move(which)) {}
  std::atomic<bool> full{false};
  Status OpenFile(const std::string& path, int flags, mode_t mode,
                  UniqueFd* fd) override {
    Status opened = EnvWrapper::OpenFile(path, flags, mode, fd);
    if (opened.ok() && path.find(which_) != std::string::npos) {
      std::lock_guard<std::mutex> guard(mutex_);
      fds_.insert(fd->get());
    }
    return opened;
  }
  Status PWrite(int fd, const void* bytes, size_t count, off_t offset) override {
    if (full && Chosen(fd)) return Status::FromErrno("pwrite", ENOSPC);
    return EnvWrapper::PWrite(fd, bytes, count, offset);
  }

 private:
  bool Chosen(int fd) {
    std::lock_guard<std::mutex> guard(mutex_);
    return fds_.count(fd) != 0;
  }
  const std::string which_;
  std::mutex mutex_;
  std::set<int> fds_;
};

// path -> size (-1 for a directory), '\' between the parts.
using Listing = std::map<std::string, int64_t>;

Listing TreeOf(const std::string& root) {
  Listing tree;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(item.path(), root).string();
    if (rel.find("/.marker-") != std::string::npos || rel.rfind(".marker-", 0) == 0) {
      continue;
    }
    for (char& c : rel) c = c == '/' ? '\\' : c;
    tree[rel] = item.is_directory() ? -1 : static_cast<int64_t>(item.file_size());
  }
  return tree;
}

Listing CatalogOf(SyncTask* task) {
  Listing catalog;
  ReaderLock lock(&task->catalogLock);
  for (const auto& [ref, entry] : task->entries) {
    std::string name(entry.nameView());
    if (name.rfind(".marker-", 0) == 0) continue;
    if (entry.state() == StateDirectory) catalog[name] = -1;
    if (IsLiveFileState(entry.state())) {
      catalog[name] = static_cast<int64_t>(entry.fileSize());
    }
  }
  return catalog;
}

std::string Describe(const Listing& listing) {
  std::string text;
  for (const auto& [name, size] : listing) {
    text += "  " + name + " " + std::to_string(size) + "\n";
  }
  return text;
}

class MonitorFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = testing::JournalUnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
    volume_ = env_.tree() / "vol";
    root_ = volume_ + "/Root";
    ASSERT_EQ(::mkdir(volume_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(root_.c_str(), 0755), 0);
  }

  std::string R(const std::string& relative) { return root_ + "/" + relative; }

  // Waits until task's catalog equals the tree; a failure shows both.
  ::testing::AssertionResult CatalogEqualsTree(SyncTask* task,
                                               int timeoutMs = 30000) {
    bool equal = env_.WaitUntil(
        [&] { return CatalogOf(task) == TreeOf(root_); }, timeoutMs);
    if (equal) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "catalog:\n" << Describe(CatalogOf(task)) << "tree:\n"
           << Describe(TreeOf(root_));
  }

  // Whether a store record ever said ref was deleted.
  static bool EverDeleted(SyncTask* task, uint64_t ref) {
    for (const StoredRecord& r : RecordsOf(task, ref)) {
      if (r.state() == StateDeleted) return true;
    }
    return false;
  }

  // The injected environments and the log capture outlive the monitors
  // (members are destroyed in reverse order), whose threads use them to
  // the end.
  StarvedJournalEnv starved_;
  FullDiskEnv disk_{"full.db"};
  LogCapture log_;
  testing::MonitoredVolumes env_;
  std::string volume_;
  std::string root_;
};

// Out of descriptors: files changed, made and removed meanwhile. Nothing
// that exists is recorded deleted, nothing made is lost; once lookups work
// again the catalog equals the tree, without a restart.
TEST_F(MonitorFaultTest, ChangesThatCannotBeLookedUpWaitAndArriveLater) {
  ASSERT_EQ(RunWriter({"write " + R("kept") + " 1", "write " + R("gone") + " 1",
                       "mkdir " + R("dir"), "write " + R("dir/inner") + " 1"}),
            0);
  StarvedJournalEnv& starved = starved_;
  LogCapture& log = log_;
  VolumeJournal::Options options;
  options.env = &starved;
  env_.AddVolume('J', volume_, 20);
  SyncTask* task = env_.AddTask("starved", "J:\\Root");
  ASSERT_TRUE(env_.Start(options));
  ASSERT_TRUE(CatalogEqualsTree(task));
  const uint64_t kept = ReferenceOfPath(R("kept"));
  const uint64_t inner = ReferenceOfPath(R("dir/inner"));

  starved.starved = true;
  ASSERT_EQ(RunWriter({"write " + R("kept") + " 30", "write " + R("dir/inner") + " 40",
                       "write " + R("made") + " 5", "mkdir " + R("newdir"),
                       "write " + R("newdir/deep") + " 6", "unlink " + R("gone")}),
            0);
  ASSERT_TRUE(env_.WaitUntil(
      [&] { return log.Count("entries cannot be looked up: Too many open files") > 0; }));
  {
    // Held back, not guessed at: the catalog says what it said before.
    Listing catalog = CatalogOf(task);
    EXPECT_EQ(catalog["kept"], 1);
    EXPECT_EQ(catalog["dir\\inner"], 1);
    EXPECT_EQ(catalog.count("made"), 0u);
  }
  starved.starved = false;
  EXPECT_TRUE(CatalogEqualsTree(task));
  EXPECT_FALSE(EverDeleted(task, kept));
  EXPECT_FALSE(EverDeleted(task, inner));
  EXPECT_EQ(log.Count("entries cannot be looked up"), 1);  // once per kind
  EXPECT_TRUE(env_.WaitUntil([&] { return log.Count("can be looked up again") == 1; }));
}

// While `starved` is set, naming entries (name_to_handle_at) fails with
// EMFILE: the names of a file cannot be checked.
class StarvedNamesEnv final : public EnvWrapper {
 public:
  StarvedNamesEnv() : EnvWrapper(Env::Default()) {}
  std::atomic<bool> starved{false};
  Status HandleAt(int dirfd, const char* path, int flags,
                  struct file_handle* handle, int* mountId) override {
    if (starved) return Status::FromErrno("name_to_handle_at", EMFILE);
    return EnvWrapper::HandleAt(dirfd, path, flags, handle, mountId);
  }
};

// A file with several names: links made in a row and a write while its
// names cannot be checked. No name is taken for gone or made up; once the
// checks work the catalog holds every name, and removing or renaming one
// name afterwards changes that name alone.
TEST_F(MonitorFaultTest, NamesThatCannotBeCheckedWaitAndArriveLater) {
  ASSERT_EQ(RunWriter({"write " + R("x") + " 4", "mkdir " + R("d")}), 0);
  StarvedNamesEnv starved;
  testing::StopsAtEnd stops(env_);
  VolumeJournal::Options options;
  options.env = &starved;
  env_.AddVolume('J', volume_, 20);
  SyncTask* task = env_.AddTask("names", "J:\\Root");
  ASSERT_TRUE(env_.Start(options));
  ASSERT_TRUE(CatalogEqualsTree(task));
  const uint64_t x = ReferenceOfPath(R("x"));

  LogCapture log;
  starved.starved = true;
  ASSERT_EQ(RunWriter({"link " + R("x") + " " + R("d/y"), "link " + R("x") + " " + R("z"),
                       "link " + R("x") + " " + R("d/w"), "append " + R("x") + " 3"}),
            0);
  ASSERT_TRUE(env_.WaitUntil(
      [&] { return log.Count("cannot be looked up: Too many open files") > 0; }));
  {
    Listing catalog = CatalogOf(task);
    EXPECT_EQ(catalog, (Listing{{"x", 4}, {"d", -1}}));
  }
  starved.starved = false;
  EXPECT_TRUE(CatalogEqualsTree(task));
  EXPECT_EQ(CatalogOf(task).size(), 5u);
  EXPECT_FALSE(EverDeleted(task, x));

  ASSERT_EQ(RunWriter({"unlink " + R("d/y"), "rename " + R("z") + " " + R("z2")}), 0);
  EXPECT_TRUE(CatalogEqualsTree(task));
  EXPECT_FALSE(EverDeleted(task, x));
  ASSERT_EQ(RunWriter({"unlink " + R("x")}), 0);
  EXPECT_TRUE(CatalogEqualsTree(task));
}

// A file with a name inside the root and one outside the volume's
// directory: a write through the name outside reaches the name inside.
TEST_F(MonitorFaultTest, AWriteThroughANameOutsideTheVolumeReachesTheNameInside) {
  const std::string elsewhere = env_.tree() / "elsewhere";
  ASSERT_EQ(RunWriter({"mkdir " + elsewhere, "write " + elsewhere + "/f 4"}), 0);
  env_.AddVolume('J', volume_, 20);
  SyncTask* task = env_.AddTask("outside", "J:\\Root");
  ASSERT_TRUE(env_.Start());
  ASSERT_EQ(RunWriter({"link " + elsewhere + "/f " + R("in")}), 0);
  ASSERT_TRUE(CatalogEqualsTree(task));
  ASSERT_EQ(RunWriter({"append " + elsewhere + "/f 3"}), 0);
  EXPECT_TRUE(CatalogEqualsTree(task));
  EXPECT_EQ(CatalogOf(task)["in"], 7);
}

// The disk of one task's store runs full during a burst of changes: that
// task's catalog stays as its store holds it (no version a client could
// see without a record), the other task goes on; once the disk takes
// writes again the first catches up without a restart, and neither
// records a change twice.
TEST_F(MonitorFaultTest, StoreWritesThatFailLoseNothing) {
  FullDiskEnv& disk = disk_;
  LogCapture& log = log_;
  env_.UseStoreEnv(&disk);
  env_.AddVolume('J', volume_, 20);
  SyncTask* full = env_.AddTask("full", "J:\\Root");
  SyncTask* fine = env_.AddTask("fine", "J:\\Root");
  ASSERT_TRUE(env_.Start());
  ASSERT_EQ(RunWriter({"write " + R("before") + " 1"}), 0);
  ASSERT_TRUE(CatalogEqualsTree(full));
  const uint64_t before = ReferenceOfPath(R("before"));
  const uint32_t versionBefore = record::Version(testing::EntryOf(full, before).data());

  disk.full = true;
  ASSERT_EQ(RunWriter({"write " + R("before") + " 9", "write " + R("a") + " 2",
                       "mkdir " + R("d"), "write " + R("d/b") + " 3"}),
            0);
  ASSERT_TRUE(CatalogEqualsTree(fine));
  ASSERT_TRUE(env_.WaitUntil([&] { return log.Count("No space left on device") > 0; }));
  {
    Listing catalog = CatalogOf(full);
    EXPECT_EQ(catalog["before"], 1);
    EXPECT_EQ(catalog.count("a"), 0u);
    EXPECT_EQ(record::Version(testing::EntryOf(full, before).data()), versionBefore);
  }
  disk.full = false;
  EXPECT_TRUE(CatalogEqualsTree(full));
  EXPECT_EQ(log.Count("No space left on device"), 1);  // once per episode
  EXPECT_TRUE(env_.WaitUntil([&] { return log.Count("writing works again") == 1; }));
  for (SyncTask* task : {full, fine}) {
    SCOPED_TRACE(task->name);
    EXPECT_EQ(RecordsOf(task, ReferenceOfPath(R("a"))).size(), 1u);
    EXPECT_EQ(RecordsOf(task, before).size(), 2u);
  }

  // What both stores hold reads back as the same catalog.
  env_.Reset();
  env_.AddVolume('J', volume_, 20);
  SyncTask* reloaded = env_.AddTask("full", "J:\\Root");
  EXPECT_TRUE(CatalogEqualsTree(reloaded, 0));
}

// Damage found at load (here one flipped bit, which leaves every record
// well formed) makes the catalog be caught up against the whole tree at
// start: what the damaged records said is recorded again, what changed
// while the server was stopped is recorded, and entries the damage did not
// touch get no new record.
TEST_F(MonitorFaultTest, DamagedStoreIsCaughtUpAgainstTheTree) {
  std::vector<std::string> script = {"mkdir " + R("d")};
  for (int i = 0; i < 30; ++i) {
    script.push_back("write " + R("d/f" + std::to_string(i)) + " " +
                     std::to_string(i + 1));
  }
  ASSERT_EQ(RunWriter(script), 0);
  env_.AddVolume('J', volume_, 20);
  SyncTask* task = env_.AddTask("damaged", "J:\\Root");
  ASSERT_TRUE(env_.Start());
  ASSERT_EQ(RunWriter({"write " + R("d/f7") + " 70"}), 0);  // a later write
  ASSERT_TRUE(CatalogEqualsTree(task));
  const uint64_t f7 = ReferenceOfPath(R("d/f7"));
  const uint64_t f1 = ReferenceOfPath(R("d/f1"));
  std::vector<StoredRecord> f7Records = RecordsOf(task, f7);
  // The build's record and the later write's (which a slow machine may
  // see in two batches, each with its record).
  ASSERT_GE(f7Records.size(), 2u);
  const std::string path = task->store.path;
  env_.Reset();

  // The record of f7's last change loses a bit of its name; the tree moves
  // on while the server is stopped.
  {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const off_t at = f7Records.back().offset + kNameOffset + 2;
    char byte = 0;
    ASSERT_EQ(::pread(fd, &byte, 1, at), 1);
    byte ^= 0x04;
    ASSERT_EQ(::pwrite(fd, &byte, 1, at), 1);
    ::close(fd);
  }
  ASSERT_EQ(RunWriter({"write " + R("d/new") + " 4", "unlink " + R("d/f20")}), 0);

  LogCapture& log = log_;
  env_.AddVolume('J', volume_, 20);
  task = env_.AddTask("damaged", "J:\\Root");
  EXPECT_TRUE(task->needsRebuild.load());
  EXPECT_EQ(log.Count("damaged store"), 1);
  ASSERT_TRUE(env_.Start());
  EXPECT_TRUE(CatalogEqualsTree(task));
  EXPECT_TRUE(env_.WaitUntil([&] { return !task->needsRebuild.load(); }));
  EXPECT_EQ(RecordsOf(task, f1).size(), 1u);  // untouched: no new record
  // Its lost record written again.
  EXPECT_EQ(RecordsOf(task, f7).size(), f7Records.size());

  // The damage stays in the file; every start catches up again, and the
  // catalog comes out the same.
  env_.Reset();
  env_.AddVolume('J', volume_, 20);
  task = env_.AddTask("damaged", "J:\\Root");
  ASSERT_TRUE(env_.Start());
  EXPECT_TRUE(CatalogEqualsTree(task));
  EXPECT_EQ(RecordsOf(task, f1).size(), 1u);
}

// A store that cannot be opened (a directory in its place): the task is
// not served and takes no change; once the way is clear the store opens,
// reads back and is caught up against the tree, without a restart.
TEST_F(MonitorFaultTest, StoreThatCannotBeOpenedOpensLaterAndCatchesUp) {
  ASSERT_EQ(RunWriter({"write " + R("early") + " 1"}), 0);
  ASSERT_TRUE(fs::create_directories(env_.DataDirectory() + "late.db"));
  env_.AddVolume('J', volume_, 20);
  LogCapture& log = log_;
  SyncTask* task = env_.AddTask("late", "J:\\Root");
  SyncTask* other = env_.AddTask("other", "J:\\Root");
  ASSERT_FALSE(task->storeOpen.load());
  ASSERT_TRUE(env_.Start());
  ASSERT_EQ(RunWriter({"write " + R("meanwhile") + " 2"}), 0);
  ASSERT_TRUE(CatalogEqualsTree(other));
  EXPECT_FALSE(task->storeOpen.load());
  EXPECT_TRUE(CatalogOf(task).empty());

  fs::remove(env_.DataDirectory() + "late.db");
  ASSERT_TRUE(env_.WaitUntil([&] { return task->storeOpen.load(); }));
  EXPECT_TRUE(CatalogEqualsTree(task));
  EXPECT_TRUE(env_.WaitUntil([&] { return !task->needsRebuild.load(); }));
  EXPECT_EQ(log.Count("cannot open store"), 1);
  EXPECT_EQ(log.Count("opens now"), 1);
  // Changes after it opened reach it as usual.
  ASSERT_EQ(RunWriter({"write " + R("after") + " 3"}), 0);
  EXPECT_TRUE(CatalogEqualsTree(task));
}

}  // namespace
}  // namespace dirsync
