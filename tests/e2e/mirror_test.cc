// End-to-end checks: the real server and the real client as processes of
// their own on loopback, a tree changed at random, and the mirror compared
// with the tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <fstream>
#include <random>
#include <thread>

#include "e2e/child_process.h"
#include "e2e/mirror_fixture.h"
#include "e2e/store_view.h"

namespace dirsync::e2e {
namespace {

using std::chrono::milliseconds;
namespace fs = std::filesystem;

void Pause(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

// --- Convergence: a following client keeps up with a random storm -------

class ConvergenceTest : public MirrorFixture,
                        public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ConvergenceTest, FollowingMirrorEqualsTheTreeOnceTheWriterStops) {
  RandomWriter& writer = MakeWriter(GetParam());
  writer.Populate(40);
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  // Odd seeds read the store and files compressed.
  ASSERT_TRUE(client_->StartFollowing({.zip = writer.seed() % 2 == 1, .intervalMs = 100}));

  for (int i = 0; i < 300; ++i) {
    writer.Step();
    Pause(writer.PauseMs(kQuietMs));
  }
  Pause(kQuietMs + 50);
  std::string failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;
  std::cout << "seed " << writer.seed() << ": " << writer.Summary() << "; "
            << Tree().size() << " entries in the root\n";
  // The storm left a tree worth comparing.
  EXPECT_GT(writer.operations(), 200);
  EXPECT_GT(Tree().size(), 5u);
  EXPECT_TRUE(client_->running()) << client_->LogTail();
  std::string catalogFailure = WaitForCatalog(milliseconds(0));
  EXPECT_TRUE(catalogFailure.empty()) << catalogFailure;
  // Every change a client was told of came with a higher version.
  EXPECT_EQ(WireFaults(), "");
  EXPECT_TRUE(server_->Stop()) << server_->error() << "\n" << server_->LogTail();
  EXPECT_TRUE(server_->StoreFailures().empty());
}

INSTANTIATE_TEST_SUITE_P(Seeds, ConvergenceTest,
                         ::testing::Values(101u, 202u, 303u, 404u, 505u));

// --- Restart: what happens while the server is stopped reaches the mirror

class RestartTest : public MirrorFixture {};

TEST_F(RestartTest, ChangesAndDeletionsWhileStoppedReachTheMirror) {
  const std::string root = sandbox_.root();
  const std::string away = sandbox_.away();
  fs::create_directories(root + "/keep/deep");
  fs::create_directories(root + "/gone/deep");
  fs::create_directories(root + "/leaving/sub");
  fs::create_directories(away + "/arriving/sub");
  fs::create_directories(root + "/hiding/sub");
  fs::create_directories(root + "/d2/sub");  // excluded
  auto write = [](const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  };
  write(root + "/keep/deep/kept.txt", "kept");
  write(root + "/keep/changed.txt", "before");
  write(root + "/keep/renamed.txt", "renamed");
  write(root + "/gone/deep/g.txt", "gone");
  write(root + "/leaving/sub/l.txt", "leaving");
  write(root + "/deleted.txt", "deleted");
  write(away + "/arriving/sub/a.txt", "arriving");
  write(root + "/hiding/sub/h.txt", "into an excluded place");
  write(root + "/d2/sub/e.txt", "out of an excluded place");
  RandomWriter& writer = MakeWriter(606);
  writer.Populate(30);

  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  int status = client_->CatchUpOnce();
  ASSERT_EQ(DescribeStatus(status), "exit 0") << client_->LogTail();
  std::string failure = WaitForMirror(milliseconds(0));
  ASSERT_TRUE(failure.empty()) << failure;
  ASSERT_TRUE(server_->Stop()) << server_->error() << "\n" << server_->LogTail();

  // While stopped: deletions of files and whole trees, a directory out of
  // the root and one into it, one into an excluded place and one out of
  // it, a rename, a rewrite, and random changes.
  fs::remove(root + "/deleted.txt");
  fs::remove_all(root + "/gone");
  fs::rename(root + "/leaving", away + "/left");
  fs::rename(away + "/arriving", root + "/keep/arrived");
  fs::rename(root + "/hiding", root + "/d1");
  fs::rename(root + "/d2/sub", root + "/keep/unhidden");
  fs::rename(root + "/keep/renamed.txt", root + "/keep/deep/now-here.txt");
  write(root + "/keep/changed.txt", "after, and longer");
  for (int i = 0; i < 150; ++i) writer.Step();

  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  status = client_->CatchUpOnce();
  ASSERT_EQ(DescribeStatus(status), "exit 0") << client_->LogTail();
  failure = WaitForMirror(milliseconds(0));
  ASSERT_TRUE(failure.empty()) << failure;

  // And a following client picks up what comes after the restart.
  ASSERT_TRUE(client_->StartFollowing());
  for (int i = 0; i < 60; ++i) {
    writer.Step();
    Pause(writer.PauseMs(kQuietMs));
  }
  failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;
  EXPECT_TRUE(server_->Stop()) << server_->error();
  EXPECT_TRUE(server_->StoreFailures().empty());
}

// --- Long paths: every path the system resolves is catalogued and served --

class LongPathTest : public MirrorFixture {};

TEST_F(LongPathTest, PathsOfThousandsOfBytesReachTheMirror) {
  // About 3,500 bytes below the root, in directories of 250-byte names,
  // some there before the server starts and some made while it runs.
  auto deepDir = [&](char tag, int levels) {
    std::string path = sandbox_.root();
    for (int i = 0; i < levels; ++i) path += "/" + std::string(249, tag) + std::to_string(i);
    fs::create_directories(path);
    return path;
  };
  const std::string before = deepDir('b', 9);
  std::ofstream(before + "/scanned.txt") << "there at the start";
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 50}));
  const std::string during = deepDir('d', 14);
  ASSERT_GT(during.size() - sandbox_.root().size(), 3400u);
  std::ofstream(during + "/journaled.txt") << "made while followed";
  fs::rename(during, during + "x");  // a rename of the deepest directory
  std::ofstream(during + "x/after-rename.txt") << "renamed";

  Pause(kQuietMs + 50);
  std::string failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;
  EXPECT_EQ(WireFaults(), "");
  EXPECT_EQ(server_->LogOfThisRun().find("too long"), std::string::npos);
  EXPECT_TRUE(server_->Stop()) << server_->error();
}

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + what.size())) {
    ++count;
  }
  return count;
}

TEST_F(LongPathTest, PathsBeyondWhatTheSystemResolvesAreReportedOnceAndComeWhenTheyMoveUp) {
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 50}));
  std::ofstream(sandbox_.root() + "/beside.txt") << "an ordinary file";

  // Directories down to about 3,950 bytes from "/", made relative to one
  // another; then one more (its path past 4,095 bytes) holding a file.
  std::string path = sandbox_.root();
  std::string rel;
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  auto down = [&](const std::string& name) {
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0) << std::strerror(errno);
    int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(next, 0) << std::strerror(errno);
    ::close(fd);
    fd = next;
    path += "/" + name;
    rel += (rel.empty() ? "" : "/") + name;
  };
  for (int i = 0; path.size() + 251 < 3950; ++i) down(std::string(249, 'n') + std::to_string(i % 10));
  if (path.size() + 2 < 3950) down(std::string(3950 - path.size() - 1, 'p'));
  ASSERT_FALSE(HasFatalFailure());
  auto writeAt = [](int dir, const char* name, const std::string& text) {
    int file = ::openat(dir, name, O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(file, 0) << std::strerror(errno);
    ASSERT_EQ(::write(file, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(file);
  };
  writeAt(fd, "near.txt", "within the limit");
  const int nearFd = fd;
  fd = ::dup(nearFd);
  const std::string tooDeep(200, 'z');
  const std::string nearRel = rel;
  const std::string tooDeepRel = nearRel + "/" + tooDeep;
  down(tooDeep);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_GT(path.size(), 4095u);
  writeAt(fd, "beyond.txt", "past the limit");

  // Everything but the directory past the limit is mirrored; it is
  // reported, with the file in it, one line each.
  const std::string report = "not mirrored (path longer than the system allows)";
  auto mirrorMatches = [&](const std::vector<std::string>& leaveOut) {
    std::string differences;
    for (int i = 0; i < 200; ++i) {
      differences = DescribeDifferences(
          TakeSnapshot(sandbox_.root(), leaveOut),
          TakeSnapshot(sandbox_.mirror(), {".dirsync", leaveOut[0]}));
      if (differences.empty() && Occurrences(client_->Log(), report) >= 2) return differences;
      Pause(100);
    }
    return differences + Diagnosis("the mirror differs from the tree");
  };
  std::string failure = mirrorMatches({tooDeepRel});
  ASSERT_TRUE(failure.empty()) << failure;
  EXPECT_EQ(Occurrences(client_->Log(), report), 2u) << client_->LogTail();
  const std::string mirrorNear = sandbox_.mirror() + "/" + nearRel;
  int mirrorFd = ::open(mirrorNear.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(mirrorFd, 0) << std::strerror(errno);
  struct stat st;
  EXPECT_NE(::fstatat(mirrorFd, tooDeep.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0);
  ::close(mirrorFd);

  // A change of the file is no news to the log or the client, whatever
  // clients ask of it.
  writeAt(fd, "beyond.txt", ", written again");
  Pause(kQuietMs + 300);
  const std::string marked = "not carried (its path is longer than the system allows)";
  EXPECT_EQ(Occurrences(server_->LogOfThisRun(), marked), 2u) << server_->LogTail();
  EXPECT_EQ(Occurrences(client_->Log(), report), 2u) << client_->LogTail();

  // Moved up, it is within the limit again: mirrored like any other.
  ASSERT_EQ(::renameat(nearFd, tooDeep.c_str(), AT_FDCWD,
                       (sandbox_.root() + "/came-up").c_str()), 0)
      << std::strerror(errno);
  ::close(fd);
  ::close(nearFd);
  Pause(kQuietMs + 50);
  failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;
  std::ifstream cameUp(sandbox_.mirror() + "/came-up/beyond.txt");
  std::string text((std::istreambuf_iterator<char>(cameUp)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "past the limit, written again");
  EXPECT_EQ(WireFaults(), "");
  EXPECT_TRUE(server_->Stop()) << server_->error();
}

// --- Crash: SIGKILL at random moments of a change storm -----------------

class CrashTest : public MirrorFixture {};

TEST_F(CrashTest, KilledServerRestartsOnItsStoreAndTheMirrorConverges) {
  constexpr int kKills = 12;
  RandomWriter& writer = MakeWriter(707);
  writer.Populate(40);
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 50}));

  // The storm runs on a thread of its own, through kills and restarts.
  std::atomic<bool> storming{true};
  std::thread storm([&] {
    while (storming) {
      writer.Step();
      Pause(writer.PauseMs(kQuietMs) / 2);
    }
  });
  std::mt19937 rng(writer.seed());
  std::string failure;
  for (int kill = 0; kill < kKills && failure.empty(); ++kill) {
    Pause(std::uniform_int_distribution<int>(100, 900)(rng));
    server_->Kill();
    // Sometimes changes pile up while it is down.
    if (kill % 3 == 0) Pause(std::uniform_int_distribution<int>(50, 400)(rng));
    // Sometimes it dies again while it loads its store and scans.
    if (kill % 4 == 1) {
      if (!server_->Launch()) {
        failure = "restart " + std::to_string(kill + 1) + ": " + server_->error();
        break;
      }
      Pause(std::uniform_int_distribution<int>(0, 40)(rng));
      server_->Kill();
    }
    if (!server_->Start()) {
      failure = "restart " + std::to_string(kill + 1) + ": " + server_->error();
      break;
    }
    if (server_->LogOfThisRun().find("LastUsn=") == std::string::npos) {
      failure = "restart " + std::to_string(kill + 1) + ": the store was not loaded";
    }
  }
  storming = false;
  storm.join();
  ASSERT_TRUE(failure.empty()) << Diagnosis(failure);
  EXPECT_TRUE(server_->StoreFailures().empty())
      << ::testing::PrintToString(server_->StoreFailures());

  Pause(kQuietMs + 50);
  failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;
  EXPECT_TRUE(client_->running()) << client_->LogTail();
  // Restarts on the store never hand out a version twice.
  EXPECT_EQ(WireFaults(), "");
  EXPECT_TRUE(server_->Stop()) << server_->error() << "\n" << server_->LogTail();

  // The store a dozen crashes left behind reads back sound.
  ChildProcess dump;
  ASSERT_TRUE(dump.Start({DIRSYNC_DUMP_PATH, server_->storePath()},
                         sandbox_.base() + "/dump.txt"));
  int status = dump.Wait(std::chrono::seconds(30));
  EXPECT_EQ(DescribeStatus(status), "exit 0");
}

}  // namespace
}  // namespace dirsync::e2e
