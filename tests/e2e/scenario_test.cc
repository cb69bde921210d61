// End-to-end scenarios of directory moves that a random writer rarely
// meets, each done at once (within one quiet period, so the server sees
// them in one batch) and then compared: the mirror must equal the tree.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/mirror_fixture.h"

namespace dirsync::e2e {
namespace {

namespace fs = std::filesystem;

class ScenarioTest : public MirrorFixture {
 protected:
  std::string R(const std::string& rel) const { return sandbox_.root() + "/" + rel; }
  std::string A(const std::string& rel) const { return sandbox_.away() + "/" + rel; }
  static void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  // Waits for the mirror; a failure names the scenario.
  void Converge(const std::string& scenario) {
    std::string failure = WaitForMirror(std::chrono::seconds(10));
    EXPECT_TRUE(failure.empty()) << "scenario \"" << scenario << "\":\n" << failure;
  }
  static void Quiet() {
    std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs + 100));
  }
};

TEST_F(ScenarioTest, DirectoryMovesAppliedInOneBatch) {
  // A tree for every scenario, mirrored before any of them begins.
  for (const char* top : {"s1", "s2", "s3", "s4", "s5", "s6", "s7"}) {
    Write(R(std::string(top) + "/A/f"), top);
    Write(R(std::string(top) + "/A/S/g"), "g");
    Write(R(std::string(top) + "/B/h"), "h");
  }
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 50}));
  Converge("start");

  // A directory renamed while a new one takes its old name.
  fs::rename(R("s1/A"), R("s1/A2"));
  Write(R("s1/A/new"), "newcomer");
  Write(R("s1/A/S/g2"), "newcomer below");
  Converge("rename, and a new directory under the old name");

  // Two directories swap names.
  fs::rename(R("s2/A"), R("s2/T"));
  fs::rename(R("s2/B"), R("s2/A"));
  fs::rename(R("s2/T"), R("s2/B"));
  Converge("two directories swap names");

  // Out of the root, changed there, and back under another name.
  fs::rename(R("s3/A"), A("s3A"));
  Write(A("s3A/f"), "changed while away");
  Write(A("s3A/S/new"), "made while away");
  Quiet();
  fs::rename(A("s3A"), R("s3/Back"));
  Converge("out of the root and back");

  // Out of the root, and a subdirectory of it straight back in.
  fs::rename(R("s4/A"), A("s4A"));
  fs::rename(A("s4A/S"), R("s4/S"));
  Converge("out, and a subdirectory back in");

  // A directory replaced by a file of its name, a file by a directory.
  fs::remove_all(R("s5/A"));
  Write(R("s5/A"), "now a file");
  fs::remove(R("s5/B/h"));
  Write(R("s5/B/h/inside"), "now a directory");
  Converge("directory and file trade places");

  // Renames at two levels and a move up, at once.
  fs::rename(R("s6/A/S"), R("s6/A/T"));
  fs::rename(R("s6/A"), R("s6/D"));
  fs::rename(R("s6/D/T/g"), R("s6/D/g"));
  Converge("renames at two levels");

  // Into an excluded place and out again.
  fs::rename(R("s7/A"), R("d1"));
  Quiet();
  Converge("into an excluded place");
  fs::rename(R("d1"), R("s7/A"));
  Converge("out of an excluded place");

  // Names with a backslash stay out; so does a file renamed to one.
  Write(R("s8/q\\w"), "backslash");
  Write(R("s8/q/w"), "a real directory");
  Write(R("s8/c\\d/e"), "below a backslash");
  Write(R("s8/leaving"), "renamed to a backslash");
  Converge("names with a backslash");
  fs::rename(R("s8/leaving"), R("s8/l\\eft"));
  fs::rename(R("s8/c\\d"), R("s8/cd"));
  Converge("renamed to and from names with a backslash");

  // A directory renamed onto an empty one, which it replaces.
  fs::create_directories(R("s7/E"));
  Quiet();
  fs::rename(R("s7/B"), R("s7/E"));
  Converge("renamed onto an empty directory");

  EXPECT_TRUE(client_->running()) << client_->LogTail();
  EXPECT_TRUE(server_->Stop()) << server_->error();
}

}  // namespace
}  // namespace dirsync::e2e
