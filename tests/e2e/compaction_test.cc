// End-to-end checks of store compaction: the real server compacts its
// store after create-and-delete churn, and the real client keeps the copy
// it holds instead of downloading it again.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "e2e/child_process.h"
#include "e2e/mirror_fixture.h"

namespace dirsync::e2e {
namespace {

using std::chrono::milliseconds;
namespace fs = std::filesystem;

void Pause(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

void Write(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class CompactionTest : public MirrorFixture {
 protected:
  static constexpr int kBaseFiles = 300;

  ServerSettings Settings() const override {
    ServerSettings settings = MirrorFixture::Settings();
    settings.compactMinKiB = 32;
    return settings;
  }

  // A tree of kBaseFiles files of distinct content in 10 directories.
  void MakeBase() {
    for (int d = 0; d < 10; ++d) {
      fs::create_directories(sandbox_.root() + "/base/d" + std::to_string(d));
    }
    for (int i = 0; i < kBaseFiles; ++i) {
      Write(BasePath(i), std::string(1000 + i, static_cast<char>('a' + i % 26)));
    }
  }
  std::string BasePath(int i) const {
    return sandbox_.root() + "/base/d" + std::to_string(i % 10) + "/f" +
           std::to_string(i) + ".txt";
  }

  // Files created, left for the server to record, then deleted: every one
  // leaves two dead records in the store.
  void ChurnRound(int round, int count) {
    const std::string dir = sandbox_.root() + "/churn";
    fs::create_directories(dir);
    for (int i = 0; i < count; ++i) {
      Write(dir + "/r" + std::to_string(round) + "-" + std::to_string(i), "x");
    }
    Pause(kQuietMs + 250);
    for (int i = 0; i < count; ++i) {
      fs::remove(dir + "/r" + std::to_string(round) + "-" + std::to_string(i));
    }
    Pause(kQuietMs + 250);
  }

  // Churns until the server has compacted its store; the log line.
  std::string ChurnUntilCompacted() {
    for (int round = 0; round < 40; ++round) {
      ChurnRound(round, 200);
      std::smatch match;
      std::string log = server_->LogOfThisRun();
      static const std::regex kCompacted("compacted: [0-9]+ -> [0-9]+ bytes[^\n]*");
      if (std::regex_search(log, match, kCompacted)) return match.str();
    }
    return {};
  }

  // Files the client downloaded after the first log line holding `after`,
  // as its "up to date" lines count them; -1 without such a line.
  static long DownloadsAfter(const std::string& log, const std::string& after) {
    size_t from = log.find(after);
    if (from == std::string::npos) return -1;
    static const std::regex kRound("([0-9]+) file\\(s\\) downloaded");
    long files = 0;
    std::string rest = log.substr(from);
    for (std::sregex_iterator it(rest.begin(), rest.end(), kRound), end; it != end; ++it) {
      files += std::stol((*it)[1].str());
    }
    return files;
  }

  static bool Shrunk(const std::string& line) {
    static const std::regex kSizes("compacted: ([0-9]+) -> ([0-9]+) bytes");
    std::smatch m;
    return std::regex_search(line, m, kSizes) && std::stoll(m[2].str()) < std::stoll(m[1].str());
  }
};

TEST_F(CompactionTest, FollowingMirrorKeepsItsFilesAcrossACompaction) {
  MakeBase();
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 100}));
  std::string failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;
  // The round's line follows the last download by a moment.
  for (int i = 0; i < 50 && DownloadsAfter(client_->Log(), "") < kBaseFiles; ++i) Pause(100);
  ASSERT_EQ(DownloadsAfter(client_->Log(), ""), kBaseFiles) << client_->LogTail();

  const std::string compacted = ChurnUntilCompacted();
  ASSERT_FALSE(compacted.empty()) << server_->LogTail();
  EXPECT_TRUE(Shrunk(compacted)) << compacted;
  // Changes after the compaction reach the mirror as well.
  Write(BasePath(1), "rewritten after the compaction");
  fs::remove(BasePath(2));
  Pause(kQuietMs + 100);
  failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;

  // The client learned of the new store by logging in again, compared,
  // and downloaded at most what the last churn round and the rewrite
  // brought: none of the base files it held.
  const std::string log = client_->Log();
  ASSERT_NE(log.find("comparing"), std::string::npos) << client_->LogTail();
  EXPECT_NE(log.find("compared"), std::string::npos) << client_->LogTail();
  EXPECT_LE(DownloadsAfter(log, "comparing"), 200 + 1) << client_->LogTail();
  EXPECT_TRUE(client_->running()) << client_->LogTail();
  EXPECT_TRUE(server_->Stop()) << server_->error() << "\n" << server_->LogTail();
  EXPECT_TRUE(server_->StoreFailures().empty());
}

TEST_F(CompactionTest, StoppedMirrorComparesWithTheNewStoreInsteadOfStartingOver) {
  MakeBase();
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_EQ(DescribeStatus(client_->CatchUpOnce()), "exit 0") << client_->LogTail();
  std::string failure = WaitForMirror(milliseconds(0));
  ASSERT_TRUE(failure.empty()) << failure;

  // While the client is away: three files rewritten, two deleted, one
  // added, and enough churn for a compaction.
  Write(BasePath(10), "new content 10");
  Write(BasePath(11), "new content 11, longer");
  Write(BasePath(12), "12");
  fs::remove(BasePath(13));
  fs::remove(BasePath(14));
  Write(sandbox_.root() + "/base/added.txt", "added");
  Pause(kQuietMs + 250);
  const std::string compacted = ChurnUntilCompacted();
  ASSERT_FALSE(compacted.empty()) << server_->LogTail();

  // The client comes back (following, so that it tells its rounds).
  const size_t before = client_->Log().size();
  ASSERT_TRUE(client_->StartFollowing());
  failure = WaitForMirror();
  ASSERT_TRUE(failure.empty()) << failure;
  for (int i = 0; i < 50 && DownloadsAfter(client_->Log().substr(before), "comparing") < 4; ++i) {
    Pause(100);
  }
  const std::string run = client_->Log().substr(before);
  ASSERT_NE(run.find("comparing"), std::string::npos) << run;
  // Exactly the rewritten and the added files; the deleted ones are gone.
  EXPECT_EQ(DownloadsAfter(run, "comparing"), 4) << run;
  EXPECT_NE(run.find("2 removed"), std::string::npos) << run;
  EXPECT_FALSE(fs::exists(sandbox_.mirror() + "/base/d3/f13.txt"));
  EXPECT_TRUE(server_->Stop()) << server_->error() << "\n" << server_->LogTail();
}

}  // namespace
}  // namespace dirsync::e2e
