#include "journal/fanotify_group.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "journal/event_parser.h"
#include "journal/file_handle.h"
#include "journal/journal_test_util.h"

namespace dirsync {
namespace {

using testing::ReferenceOfPath;
using testing::TempTree;

class FanotifyGroupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = testing::JournalUnavailableReason();
    if (!why.empty()) GTEST_SKIP() << why;
    dirFd_ = ::open(tree_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirFd_, 0);
    Status learned = codec_.Learn(dirFd_);
    ASSERT_TRUE(learned.ok()) << learned.ToString();
    struct statfs fs;
    ASSERT_EQ(::fstatfs(dirFd_, &fs), 0);
    std::memcpy(fsid_, &fs.f_fsid, sizeof fsid_);
    // Made before the group exists: their creation is no event of it.
    testing::WriteFile(tree_ / "server.log", "");
    testing::WriteFile(tree_ / "other", "");
    Status opened = group_.Open(dirFd_, true);
    ASSERT_TRUE(opened.ok()) << opened.ToString();
  }
  void TearDown() override {
    if (dirFd_ >= 0) ::close(dirFd_);
  }

  // Reads the group's events (the whole filesystem's: other processes may
  // add theirs) until one of `until` shows up or 10 s pass; returns the
  // references of every event read.
  std::vector<uint64_t> ReadUntil(uint64_t until) {
    FanotifyEventParser parser(codec_, fsid_);
    std::vector<uint64_t> seen;
    std::vector<unsigned char> buffer(256 * 1024);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool found = false;
    while (!found && std::chrono::steady_clock::now() < deadline) {
      if (group_.WaitForEvents(100) != FanotifyGroup::Wait::kReady) continue;
      size_t n = 0;
      if (!group_.Read(buffer.data(), buffer.size(), &n).ok() || n == 0) continue;
      std::vector<FanotifyEvent> events;
      parser.Parse(buffer.data(), n, &events);
      for (const FanotifyEvent& e : events) {
        if (!e.hasObject) continue;
        seen.push_back(e.object);
        if (e.object == until) found = true;
      }
    }
    EXPECT_TRUE(found) << "no event of the marker file";
    return seen;
  }

  static void Append(int fd, const char* text) {
    ASSERT_EQ(::write(fd, text, std::strlen(text)),
              static_cast<ssize_t>(std::strlen(text)));
  }

  TempTree tree_;
  int dirFd_ = -1;
  FileHandleCodec codec_;
  unsigned char fsid_[8] = {};
  FanotifyGroup group_;
};

TEST_F(FanotifyGroupTest, AnIgnoredFileGivesNoEventsWhileOthersStillDo) {
  const std::string logPath = tree_ / "server.log";
  int log = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(log, 0);
  int other = ::open((tree_ / "other").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(other, 0);
  uint64_t logRef = ReferenceOfPath(logPath), otherRef = ReferenceOfPath(tree_ / "other");
  ASSERT_NE(logRef, 0u);

  ASSERT_TRUE(group_.IgnoreChangesOf(log).ok());
  // Several rounds: the exclusion must outlive the file's first write,
  // and a chmod (ATTRIB) is excluded as well.
  for (int round = 0; round < 3; ++round) {
    Append(log, "a log line\n");
    Append(other, "x");
    std::vector<uint64_t> seen = ReadUntil(otherRef);
    for (uint64_t ref : seen) EXPECT_NE(ref, logRef) << "round " << round;
  }
  ASSERT_EQ(::fchmod(log, 0600), 0);
  ::close(log);
  Append(other, "y");
  for (uint64_t ref : ReadUntil(otherRef)) EXPECT_NE(ref, logRef);
  ::close(other);
}

TEST_F(FanotifyGroupTest, ANewNameForAnIgnoredFileIsStillReported) {
  const std::string logPath = tree_ / "server.log";
  int log = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(log, 0);
  uint64_t logRef = ReferenceOfPath(logPath);
  ASSERT_TRUE(group_.IgnoreChangesOf(log).ok());
  // A rename belongs to the directory: it is not one of the changes
  // excluded.
  ASSERT_EQ(::rename(logPath.c_str(), (tree_ / "server.log.1").c_str()), 0);
  std::vector<uint64_t> seen = ReadUntil(logRef);
  EXPECT_NE(std::find(seen.begin(), seen.end(), logRef), seen.end());
  ::close(log);
}

TEST_F(FanotifyGroupTest, APauseLeavesEventsQueuedAndEndsAtStop) {
  int other = ::open((tree_ / "other").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(other, 0);
  Append(other, "x");
  ::close(other);
  EXPECT_TRUE(group_.Pause(5));
  // The event written before the pause is still there to read.
  std::vector<uint64_t> seen = ReadUntil(ReferenceOfPath(tree_ / "other"));
  EXPECT_FALSE(seen.empty());

  group_.Stop();
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(group_.Pause(10000));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST_F(FanotifyGroupTest, IgnoringABadDescriptorFails) {
  EXPECT_FALSE(group_.IgnoreChangesOf(-1).ok());
}

}  // namespace
}  // namespace dirsync
