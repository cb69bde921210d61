// End-to-end checks of files with several names (hard links), made with
// the real tools (cp -al, ln, rm, mv): after each step the mirror equals
// the tree, and so does the server's catalog as a client lists it, with
// the server following and across restarts, with changes made while it
// was stopped.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/mirror_fixture.h"
#include "e2e/store_view.h"

namespace dirsync::e2e {
namespace {

namespace fs = std::filesystem;

class HardLinkTest : public MirrorFixture {
 protected:
  std::string R(const std::string& rel) const { return sandbox_.root() + "/" + rel; }
  std::string A(const std::string& rel) const { return sandbox_.away() + "/" + rel; }
  static void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  static void Append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
  }
  // Runs a shell command line of the real tools.
  static void Run(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  static nlink_t Links(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? st.st_nlink : 0;
  }
  // The mirror and the catalog both equal the tree.
  void Converge(const std::string& step) {
    std::string failure = WaitForMirror(std::chrono::seconds(15));
    EXPECT_TRUE(failure.empty()) << "step \"" << step << "\":\n" << failure;
    failure = WaitForCatalog(std::chrono::seconds(5));
    EXPECT_TRUE(failure.empty()) << "step \"" << step << "\":\n" << failure;
  }
  void Restart() {
    ASSERT_TRUE(server_->Stop()) << server_->error() << "\n" << server_->LogTail();
    ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  }
};

TEST_F(HardLinkTest, EveryNameIsMirroredWhileFollowingAndAcrossRestarts) {
  // Names made before the first start reach the catalog by the initial
  // build.
  Write(R("a/f1"), "one");
  Write(R("a/sub/f2"), "two");
  Write(R("a/f3"), "three");
  Run("ln '" + R("a/f1") + "' '" + R("early") + "'");
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 50}));
  Converge("initial build");

  // A copy of a tree made of links: the first names stay.
  Run("cp -al '" + R("a") + "' '" + R("b") + "'");
  ASSERT_EQ(Links(R("a/f1")), 3u);
  Converge("cp -al a b");

  Run("ln '" + R("a/f3") + "' '" + R("c3") + "'");
  Converge("ln a/f3 c3");

  // A write through one name reaches every name.
  Append(R("b/f1"), " and more through b");
  Converge("write through b/f1");

  // Removing one name leaves the others.
  Run("rm '" + R("a/f3") + "'");
  Converge("rm a/f3");

  // Renaming one name leaves the others where they are.
  Run("mv '" + R("b/sub/f2") + "' '" + R("b/sub/g2") + "'");
  Converge("mv b/sub/f2 b/sub/g2");

  // The names and the file they share survive a restart: a write through
  // one name afterwards still reaches them all.
  Restart();
  Converge("restart");
  Append(R("early"), " written after the restart");
  Converge("write through early after a restart");

  // Links made, removed and renamed while the server was stopped.
  ASSERT_TRUE(server_->Stop()) << server_->error();
  Run("cp -al '" + R("a") + "' '" + R("c") + "'");
  Run("ln '" + R("a/sub/f2") + "' '" + R("late") + "'");
  Run("rm '" + R("b/f1") + "'");
  Run("mv '" + R("c3") + "' '" + R("c3-renamed") + "'");
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  Converge("changes while stopped");
  Append(R("c/sub/f2"), " through the copy");
  Converge("write through c/sub/f2 after the catch-up");

  // Down to one name again: removing all names but one keeps that one.
  Run("rm -r '" + R("b") + "' '" + R("c") + "' '" + R("late") + "'");
  Converge("rm -r b c late");
  EXPECT_EQ(Links(R("a/sub/f2")), 1u);
  Append(R("a/sub/f2"), " alone");
  Converge("write through the last name");

  EXPECT_EQ(WireFaults(), "");
  EXPECT_TRUE(client_->running()) << client_->LogTail();
  EXPECT_TRUE(server_->Stop()) << server_->error();
}

// With the quiet period off, the copy's directory is applied before the
// links inside it are read, so the links first arrive from a walk of the
// new directory, which tells no link counts: the names the catalog holds
// must be found still naming the files, not taken for renames.
class HardLinkNoQuietTest : public HardLinkTest {
 protected:
  ServerSettings Settings() const override {
    ServerSettings settings = HardLinkTest::Settings();
    settings.timeoutMs = -1;
    return settings;
  }
};

TEST_F(HardLinkNoQuietTest, ACopyOfLinksLeavesTheFirstNamesWhereTheyAre) {
  Write(R("a/one"), "one");
  Write(R("a/two"), "two");
  fs::create_directories(R("a/sub"));
  Write(R("a/sub/three"), "three");
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 50}));
  Converge("initial build");
  for (const char* copy : {"b", "c"}) {
    Run("cp -al '" + R("a") + "' '" + R(copy) + "'");
    Converge(std::string("cp -al a ") + copy);
  }
  EXPECT_EQ(Links(R("a/sub/three")), 3u);
  EXPECT_EQ(WireFaults(), "");
  EXPECT_TRUE(server_->Stop()) << server_->error();
}

TEST_F(HardLinkTest, NameInsideTheRootOfAFileOutsideItStays) {
  Write(A("outside"), "lives outside the root");
  Write(R("plain"), "plain");
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 50}));
  Converge("start");

  Run("ln '" + A("outside") + "' '" + R("inside") + "'");
  Converge("ln outside inside");

  // A write through the name outside the root changes the name inside it.
  Append(A("outside"), ", written from outside");
  Converge("write through the outside name");

  Restart();
  Converge("restart");
  Append(A("outside"), ", again after the restart");
  Converge("write from outside after the restart");

  // While stopped: the outside name written, then a second inside name.
  ASSERT_TRUE(server_->Stop()) << server_->error();
  Append(A("outside"), ", while stopped");
  Run("ln '" + A("outside") + "' '" + R("inside2") + "'");
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  Converge("changes while stopped");

  // The outside name goes: the inside names stay.
  Run("rm '" + A("outside") + "'");
  Converge("rm the outside name");
  Run("rm '" + R("inside") + "'");
  Converge("rm one inside name");

  EXPECT_EQ(WireFaults(), "");
  EXPECT_TRUE(server_->Stop()) << server_->error();
}

}  // namespace
}  // namespace dirsync::e2e
