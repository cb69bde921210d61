// End-to-end scenarios of directory moves that a random writer rarely
// meets, each done at once (within one quiet period, so the server sees
// them in one batch) and then compared: the mirror must equal the tree.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/mirror_fixture.h"
#include "e2e/store_view.h"

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

// The records of one reference after the first `from` of the history.
std::vector<WireRecord> RecordsOf(const std::vector<WireRecord>& history, size_t from,
                                  uint64_t ref) {
  std::vector<WireRecord> out;
  for (size_t i = from; i < history.size(); ++i) {
    if (history[i].fileRef == ref) out.push_back(history[i]);
  }
  return out;
}

// The reference of the live entry the history last names path (with '\\').
uint64_t RefOf(const std::vector<WireRecord>& history, const std::string& path) {
  for (auto it = history.rbegin(); it != history.rend(); ++it) {
    if (it->name == path && it->state != 255 && it->state != 7) return it->fileRef;
  }
  return 0;
}

// Files downloaded by the rounds the client logged after offset of its log.
int DownloadsLoggedAfter(const std::string& log, size_t offset) {
  int files = 0;
  const std::string mark = " record(s) applied, ";
  for (size_t at = log.find(mark, offset); at != std::string::npos;
       at = log.find(mark, at + 1)) {
    files += std::atoi(log.c_str() + at + mark.size());
  }
  return files;
}

TEST_F(ScenarioTest, RenamesArriveAsRenamesAndChangesRaiseVersions) {
  Write(R("a.txt"), "first");
  Write(R("D/f.txt"), "below");
  Write(R("D/S/g.txt"), "deeper");
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 50}));
  Converge("start");
  std::vector<WireRecord> history;
  std::string error;
  ASSERT_TRUE(ReadHistory(*server_, &history, &error)) << error;
  const uint64_t file = RefOf(history, "a.txt");
  const uint64_t dir = RefOf(history, "D");
  const uint64_t below = RefOf(history, "D\\f.txt");
  ASSERT_NE(file, 0u);
  ASSERT_NE(dir, 0u);
  ASSERT_NE(below, 0u);
  size_t seen = history.size();
  size_t logSeen = client_->Log().size();

  // A rename, then a move of a directory: each arrives as a rename of the
  // same reference (never a deletion and an addition), and the mirror
  // moves what it holds instead of downloading it again.
  fs::rename(R("a.txt"), R("b.txt"));
  Quiet();
  fs::rename(R("D"), R("E"));
  Converge("renames");
  ASSERT_TRUE(ReadHistory(*server_, &history, &error)) << error;
  std::vector<WireRecord> fileRecords = RecordsOf(history, seen, file);
  ASSERT_FALSE(fileRecords.empty());
  EXPECT_EQ(fileRecords.back().state, 3);
  EXPECT_EQ(fileRecords.back().name, "b.txt");
  EXPECT_EQ(fileRecords.back().oldName, "a.txt");
  std::vector<WireRecord> dirRecords = RecordsOf(history, seen, dir);
  ASSERT_FALSE(dirRecords.empty());
  EXPECT_EQ(dirRecords.back().state, 6);
  EXPECT_EQ(dirRecords.back().name, "E");
  std::vector<WireRecord> belowRecords = RecordsOf(history, seen, below);
  ASSERT_FALSE(belowRecords.empty());
  EXPECT_EQ(belowRecords.back().state, 3);
  EXPECT_EQ(belowRecords.back().name, "E\\f.txt");
  EXPECT_EQ(belowRecords.back().oldName, "D\\f.txt");
  for (size_t i = seen; i < history.size(); ++i) {
    EXPECT_NE(history[i].state, 255) << history[i].name;
    EXPECT_NE(history[i].state, 1) << history[i].name;
  }
  // The client logs a line per round once it is done with it.
  for (int i = 0; i < 100 && client_->Log().find(" record(s) applied", logSeen) == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(client_->Log().find(" record(s) applied", logSeen), std::string::npos);
  EXPECT_EQ(DownloadsLoggedAfter(client_->Log(), logSeen), 0) << client_->LogTail();

  // Changes of content raise the version every time.
  uint32_t version = fileRecords.back().version;
  for (const char* text : {"second", "third, longer"}) {
    seen = history.size();
    Write(R("b.txt"), text);
    Converge(std::string("rewrite: ") + text);
    ASSERT_TRUE(ReadHistory(*server_, &history, &error)) << error;
    fileRecords = RecordsOf(history, seen, file);
    ASSERT_FALSE(fileRecords.empty()) << text;
    EXPECT_EQ(fileRecords.back().state, 2) << text;
    EXPECT_GT(fileRecords.back().version, version) << text;
    version = fileRecords.back().version;
  }
  EXPECT_EQ(WireFaults(), "");
  EXPECT_TRUE(client_->running()) << client_->LogTail();
  EXPECT_TRUE(server_->Stop()) << server_->error();
}

}  // namespace
}  // namespace dirsync::e2e
