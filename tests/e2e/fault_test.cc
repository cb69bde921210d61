// End-to-end checks under real faults of the machine, each with the real
// server and client: a server short of descriptors flooded with idle
// connections, a data disk that fills during a storm of changes, a store
// that cannot be opened, a store zeroed in the middle, a port taken.
// After each, the catalog as a client lists it equals the tree, with and
// without a restart, and the mirror equals the tree.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/mirror_fixture.h"
#include "e2e/store_view.h"

namespace dirsync::e2e {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
namespace fs = std::filesystem;

void Pause(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

void Write(const std::string& path, const std::string& text,
           std::ios::openmode mode = std::ios::trunc) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | mode) << text;
}

// The listing of dirsync-dump for the server's store.
std::string Dump(const ServerUnderTest& server, const std::string& base) {
  ChildProcess dump;
  const std::string out = base + "/dump.txt";
  fs::remove(out);
  if (!dump.Start({DIRSYNC_DUMP_PATH, server.storePath()}, out)) return {};
  dump.Wait(seconds(30));
  return ReadText(out);
}

// Idle connections held open from this process.
class Flood {
 public:
  Flood(int port, int count) {
    for (int i = 0; i < count; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) break;
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        continue;
      }
      fds_.push_back(fd);
    }
  }
  ~Flood() {
    for (int fd : fds_) ::close(fd);
  }
  Flood(const Flood&) = delete;
  Flood& operator=(const Flood&) = delete;

 private:
  std::vector<int> fds_;
};

class FaultTest : public MirrorFixture {
 protected:
  ServerSettings Settings() const override {
    ServerSettings settings = MirrorFixture::Settings();
    settings.launcher = launcher_;
    settings.port = port_;
    return settings;
  }
  // The catalog must equal the tree now and after a restart.
  void ExpectCatalogEqualsTreeAcrossARestart() {
    std::string failure = WaitForCatalog();
    EXPECT_TRUE(failure.empty()) << failure;
    ASSERT_TRUE(server_->Stop()) << server_->error() << "\n" << server_->LogTail();
    ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
    failure = WaitForCatalog();
    EXPECT_TRUE(failure.empty()) << "after a restart: " << failure;
  }

  std::vector<std::string> launcher_;
  int port_ = 0;
};

// A low descriptor limit and a flood of idle connections: the server
// turns the surplus away before its own descriptors run out, so files
// appended to meanwhile are never recorded deleted and files made
// meanwhile are not lost; the mirror, connected before the flood, follows.
class DescriptorFloodTest : public FaultTest {
 protected:
  void SetUp() override {
    launcher_ = {"/usr/bin/prlimit", "--nofile=128:128"};
    FaultTest::SetUp();
  }
};

TEST_F(DescriptorFloodTest, IdleConnectionsCannotStarveTheJournal) {
  for (int i = 0; i < 40; ++i) {
    Write(sandbox_.root() + "/old/f" + std::to_string(i), "first");
  }
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 100}));
  std::string failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;
  {
    Flood flood(server_->port(), 400);
    Pause(300);
    for (int i = 0; i < 40; ++i) {
      Write(sandbox_.root() + "/old/f" + std::to_string(i), " more", std::ios::app);
      Write(sandbox_.root() + "/new/n" + std::to_string(i), "made while flooded");
    }
    // The mirror connected before the flood keeps following it.
    failure = WaitForMirror();
    EXPECT_TRUE(failure.empty()) << failure;
  }
  EXPECT_NE(server_->LogOfThisRun().find("refusing new connections"),
            std::string::npos)
      << server_->LogTail();
  // Nothing that exists was ever recorded deleted.
  std::string dump = Dump(*server_, sandbox_.base());
  ASSERT_NE(dump.find("damage=0"), std::string::npos) << dump;
  EXPECT_EQ(dump.find("state=deleted"), std::string::npos) << dump;
  ExpectCatalogEqualsTreeAcrossARestart();
  EXPECT_TRUE(server_->StoreFailures().empty());
}

// data/ on a small tmpfs of its own, which fills during a storm of
// changes and is freed: nothing is lost, the catalog catches up without a
// restart, and the store reads back sound.
class FullDataDiskTest : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    if (!sandbox_.onTmpfs()) GTEST_SKIP() << "no mount namespace for a small tmpfs";
    data_ = sandbox_.serverDir() + "/data";
    fs::create_directories(data_);
    ASSERT_EQ(::mount("tmpfs", data_.c_str(), "tmpfs", 0, "size=1m"), 0)
        << std::strerror(errno);
    mounted_ = true;
  }
  void TearDown() override {
    FaultTest::TearDown();
    if (mounted_) ::umount2(data_.c_str(), MNT_DETACH);
  }
  std::string data_;
  bool mounted_ = false;
};

TEST_F(FullDataDiskTest, StoreWritesWaitForSpaceAndLoseNothing) {
  RandomWriter& writer = MakeWriter(808);
  writer.Populate(40);
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 100}));
  std::string failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;

  // Leave a few KiB free, then change the tree until writes fail.
  const std::string ballast = data_ + "/ballast";
  {
    std::ofstream out(ballast, std::ios::binary);
    std::string block(4096, 'b');
    while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
  }
  fs::resize_file(ballast, fs::file_size(ballast) - 4096);
  const auto deadline = std::chrono::steady_clock::now() + seconds(60);
  while (server_->LogOfThisRun().find("No space left") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    for (int i = 0; i < 20; ++i) writer.Step();
    Pause(kQuietMs + 50);
  }
  ASSERT_NE(server_->LogOfThisRun().find("No space left"), std::string::npos)
      << "the disk never ran full";
  for (int i = 0; i < 100; ++i) {
    writer.Step();
    Pause(5);
  }
  fs::remove(ballast);
  failure = WaitForMirror(seconds(30));
  EXPECT_TRUE(failure.empty()) << failure;
  failure = WaitForCatalog(seconds(0));
  EXPECT_TRUE(failure.empty()) << failure;
  EXPECT_NE(server_->LogOfThisRun().find("writing works again"), std::string::npos);
  ExpectCatalogEqualsTreeAcrossARestart();
  EXPECT_NE(Dump(*server_, sandbox_.base()).find("damage=0"), std::string::npos);
}

// A directory in the store's place: the task is not served, so the
// mirror keeps its copy; once the store is back the task is served again
// and caught up with what changed meanwhile, without a restart.
TEST_F(FaultTest, UnopenableStoreIsNotServedAndMirrorsKeepTheirCopies) {
  RandomWriter& writer = MakeWriter(909);
  writer.Populate(30);
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 100}));
  std::string failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;
  ASSERT_TRUE(server_->Stop()) << server_->error();

  const std::string store = server_->storePath();
  const std::string aside = sandbox_.base() + "/store-aside.db";
  fs::rename(store, aside);
  fs::create_directories(store);
  const TreeSnapshot mirrored = TakeSnapshot(sandbox_.mirror(), {".dirsync"});
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  for (int i = 0; i < 30; ++i) writer.Step();
  for (int i = 0; i < 100 && server_->LogOfThisRun().find("is not served now") ==
                                 std::string::npos;
       ++i) {
    Pause(100);
  }
  EXPECT_NE(server_->LogOfThisRun().find("is not served now: its store cannot be "
                                         "opened (Is a directory)"),
            std::string::npos)
      << server_->LogTail();
  Pause(500);
  EXPECT_EQ(TakeSnapshot(sandbox_.mirror(), {".dirsync"}), mirrored)
      << "the mirror changed while the task was not served";

  fs::remove(store);
  fs::rename(aside, store);
  failure = WaitForMirror(seconds(30));
  EXPECT_TRUE(failure.empty()) << failure;
  EXPECT_NE(server_->LogOfThisRun().find("opens now"), std::string::npos);
  EXPECT_TRUE(client_->running()) << client_->LogTail();
  ExpectCatalogEqualsTreeAcrossARestart();
}

// 4 KiB of the store zeroed in the middle while the server is stopped:
// at the next start the damage is found, left out and served as a filler,
// the catalog is caught up against the tree, and both a following mirror
// and a new one converge.
TEST_F(FaultTest, StoreZeroedInTheMiddleIsCaughtUp) {
  for (int i = 0; i < 300; ++i) {
    Write(sandbox_.root() + "/d" + std::to_string(i % 7) + "/file-" +
              std::to_string(i),
          "generation one " + std::to_string(i));
  }
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 100}));
  std::string failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;
  for (int i = 0; i < 300; i += 2) {
    Write(sandbox_.root() + "/d" + std::to_string(i % 7) + "/file-" +
              std::to_string(i),
          "generation two, longer " + std::to_string(i));
  }
  failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;
  ASSERT_TRUE(server_->Stop()) << server_->error();

  const auto size = fs::file_size(server_->storePath());
  ASSERT_GT(size, 16384u);
  {
    std::fstream store(server_->storePath(),
                       std::ios::binary | std::ios::in | std::ios::out);
    store.seekp(static_cast<std::streamoff>(size / 2));
    std::string zeros(4096, '\0');
    store.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  // The tree moves on while the server is stopped.
  Write(sandbox_.root() + "/d1/while-stopped", "new");
  fs::remove(sandbox_.root() + "/d2/file-2");

  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  EXPECT_NE(server_->LogOfThisRun().find("damaged store"), std::string::npos);
  failure = WaitForCatalog();
  EXPECT_TRUE(failure.empty()) << failure;
  failure = WaitForMirror();
  EXPECT_TRUE(failure.empty()) << failure;

  // A mirror made from nothing reads through the damaged span.
  MirrorClient fresh(*server_, sandbox_.base() + "/fresh", sandbox_.base() + "/fresh.log");
  int status = fresh.CatchUpOnce();
  EXPECT_EQ(DescribeStatus(status), "exit 0") << fresh.LogTail();
  EXPECT_EQ(DescribeDifferences(Tree(), TakeSnapshot(sandbox_.base() + "/fresh",
                                                     {".dirsync"})),
            "");
  ExpectCatalogEqualsTreeAcrossARestart();
}

// The port taken by another program: the server says so and ends with
// status 1, so that a service manager starts it again.
TEST_F(FaultTest, PortTakenEndsTheServer) {
  const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(taken, 0);
  const int yes = 1;
  ::setsockopt(taken, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(server_->port()));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  ASSERT_TRUE(server_->Launch()) << server_->error();
  int status = server_->WaitForExit(seconds(20));
  ::close(taken);
  EXPECT_EQ(DescribeStatus(status), "exit 1") << server_->LogTail();
  EXPECT_NE(server_->LogOfThisRun().find(
                "cannot listen on port " + std::to_string(server_->port()) +
                ": Address already in use; the server stops"),
            std::string::npos)
      << server_->LogTail();
}

}  // namespace
}  // namespace dirsync::e2e
