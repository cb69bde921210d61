// End-to-end checks of what is more than plain files: symbolic links
// mirrored as links (relative, absolute, dangling, to a directory), never
// written through; permissions carried, a change of permissions or of the
// modification time alone reaching store and mirror; FIFOs skipped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/mirror_fixture.h"
#include "e2e/store_view.h"

namespace dirsync::e2e {
namespace {

namespace fs = std::filesystem;

class LinkTest : public MirrorFixture {
 protected:
  std::string R(const std::string& rel) const { return sandbox_.root() + "/" + rel; }
  std::string A(const std::string& rel) const { return sandbox_.away() + "/" + rel; }
  std::string M(const std::string& rel) const { return sandbox_.mirror() + "/" + rel; }
  static void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }
  static std::string LinkText(const std::string& path) {
    std::error_code ec;
    fs::path target = fs::read_symlink(path, ec);
    return ec ? "<no link: " + ec.message() + ">" : target.string();
  }
  static struct stat Lstat(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) st.st_mode = 0;
    return st;
  }
  // Waits until check() holds, up to ten seconds.
  template <typename Check>
  static bool Eventually(Check check) {
    for (int i = 0; i < 200; ++i) {
      if (check()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return check();
  }
  // Every link below the root has its twin in the mirror with the same
  // target text; one line per difference.
  std::string LinkDifferences() const {
    std::string out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(sandbox_.root(), ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_symlink(ec)) continue;
      std::string rel = it->path().lexically_relative(sandbox_.root()).string();
      if (!fs::is_symlink(fs::symlink_status(M(rel)))) {
        out += rel + ": no link in the mirror\n";
      } else if (LinkText(M(rel)) != LinkText(it->path().string())) {
        out += rel + ": " + LinkText(M(rel)) + " != " + LinkText(it->path().string()) + "\n";
      }
    }
    return out;
  }
};

TEST_F(LinkTest, CopiedTreeWithLinksIsMirroredWithLinksModesAndNoSpecials) {
  // A source tree outside the root, copied in with cp -a while watched.
  const std::string src = A("src");
  Write(src + "/sub/f.txt", "below");
  Write(src + "/secret.txt", "nobody else reads this");
  Write(src + "/run.sh", "#!/bin/sh\n");
  Write(A("outside.txt"), "outside, never written");
  ASSERT_EQ(::chmod((src + "/secret.txt").c_str(), 0600), 0);
  ASSERT_EQ(::chmod((src + "/run.sh").c_str(), 0750), 0);
  ASSERT_EQ(::symlink("sub/f.txt", (src + "/relative").c_str()), 0);
  ASSERT_EQ(::symlink(A("outside.txt").c_str(), (src + "/absolute").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere/at/all", (src + "/dangling").c_str()), 0);
  ASSERT_EQ(::symlink("sub", (src + "/dirlink").c_str()), 0);
  ASSERT_EQ(::symlink("../../outside.txt", (src + "/sub/up").c_str()), 0);
  ASSERT_EQ(::mkfifo((src + "/pipe").c_str(), 0644), 0);
  Write(src + "/private/inside.txt", "readable, in a closed directory");
  ASSERT_EQ(::chmod((src + "/private").c_str(), 0700), 0);
  struct stat outsideBefore = Lstat(A("outside.txt"));

  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 50}));
  ASSERT_TRUE(Run("cp -a '" + src + "' '" + R("copy") + "'"));
  std::string failure = WaitForMirror(std::chrono::seconds(15));
  ASSERT_TRUE(failure.empty()) << failure;
  ASSERT_TRUE(Eventually([&] { return LinkDifferences().empty(); }))
      << LinkDifferences() << client_->LogTail();

  // Links are links, with their own target text, whatever they point at.
  EXPECT_EQ(LinkText(M("copy/relative")), "sub/f.txt");
  EXPECT_EQ(LinkText(M("copy/absolute")), A("outside.txt"));
  EXPECT_EQ(LinkText(M("copy/dangling")), "nowhere/at/all");
  EXPECT_EQ(LinkText(M("copy/dirlink")), "sub");
  EXPECT_EQ(LinkText(M("copy/sub/up")), "../../outside.txt");
  // Nothing was written through a link: the file outside is as it was,
  // and the directory behind dirlink holds only what the tree has.
  struct stat outsideAfter = Lstat(A("outside.txt"));
  EXPECT_EQ(Read(A("outside.txt")), "outside, never written");
  EXPECT_EQ(outsideAfter.st_ino, outsideBefore.st_ino);
  EXPECT_EQ(outsideAfter.st_mtim.tv_nsec, outsideBefore.st_mtim.tv_nsec);
  size_t inSub = 0;
  for (const auto& e : fs::directory_iterator(M("copy/sub"))) {
    (void)e;
    ++inSub;
  }
  EXPECT_EQ(inSub, 2u);  // f.txt and up

  // Permissions as in the tree: never wider.
  EXPECT_EQ(Lstat(M("copy/secret.txt")).st_mode & 0777, 0600u);
  EXPECT_EQ(Lstat(M("copy/run.sh")).st_mode & 0777, 0750u);
  EXPECT_EQ(Lstat(M("copy/private")).st_mode & 0777, 0700u);
  EXPECT_EQ(Read(M("copy/private/inside.txt")), "readable, in a closed directory");
  // The FIFO is not made, and told of once.
  EXPECT_EQ(Lstat(M("copy/pipe")).st_mode, 0u);
  std::string log = client_->Log();
  size_t first = log.find("pipe is a FIFO");
  EXPECT_NE(first, std::string::npos) << client_->LogTail();
  EXPECT_EQ(log.find("pipe is a FIFO", first + 1), std::string::npos);
  // No download was refused, on either side.
  EXPECT_EQ(log.find("skipped until the server"), std::string::npos) << client_->LogTail();
  EXPECT_EQ(server_->LogTail(400).find("open file error"), std::string::npos)
      << server_->LogTail();
  EXPECT_EQ(server_->LogTail(400).find("error: "), std::string::npos) << server_->LogTail();

  // A link replaced by a file, and a file by a link, at the same path.
  fs::remove(R("copy/relative"));
  Write(R("copy/relative"), "a file now");
  fs::remove(R("copy/run.sh"));
  ASSERT_EQ(::symlink("secret.txt", R("copy/run.sh").c_str()), 0);
  failure = WaitForMirror(std::chrono::seconds(10));
  EXPECT_TRUE(failure.empty()) << failure;
  EXPECT_TRUE(Eventually([&] { return LinkDifferences().empty(); })) << LinkDifferences();
  EXPECT_TRUE(S_ISREG(Lstat(M("copy/relative")).st_mode));
  EXPECT_EQ(LinkText(M("copy/run.sh")), "secret.txt");
  EXPECT_EQ(Read(M("copy/secret.txt")), "nobody else reads this");
  EXPECT_EQ(WireFaults(), "");
  EXPECT_TRUE(client_->running()) << client_->LogTail();
  EXPECT_TRUE(server_->Stop()) << server_->error();
}

TEST_F(LinkTest, ChangesOfModeOrTimeAloneReachStoreAndMirror) {
  Write(R("a.txt"), "content");
  ASSERT_EQ(::chmod(R("a.txt").c_str(), 0644), 0);
  ASSERT_TRUE(server_->Start()) << server_->error() << "\n" << server_->LogTail();
  ASSERT_TRUE(client_->StartFollowing({.zip = false, .intervalMs = 50}));
  std::string failure = WaitForMirror(std::chrono::seconds(10));
  ASSERT_TRUE(failure.empty()) << failure;
  std::vector<WireRecord> history;
  std::string error;
  ASSERT_TRUE(ReadHistory(*server_, &history, &error)) << error;
  size_t seen = history.size();
  uint32_t version = 0;
  for (const WireRecord& r : history) {
    if (r.name == "a.txt") version = r.version;
  }
  ASSERT_NE(version, 0u);

  // chmod: only an attribute event. The store records it with a higher
  // version, and the mirror's file is no longer readable by others.
  ASSERT_EQ(::chmod(R("a.txt").c_str(), 0600), 0);
  EXPECT_TRUE(Eventually([&] { return (Lstat(M("a.txt")).st_mode & 0777) == 0600; }))
      << std::oct << (Lstat(M("a.txt")).st_mode & 0777) << "\n" << client_->LogTail();
  ASSERT_TRUE(ReadHistory(*server_, &history, &error)) << error;
  ASSERT_GT(history.size(), seen);
  EXPECT_EQ(history.back().name, "a.txt");
  EXPECT_EQ(history.back().state, 2);
  EXPECT_GT(history.back().version, version);
  version = history.back().version;

  // A directory's chmod reaches the mirror too.
  fs::create_directories(R("dir"));
  EXPECT_TRUE(Eventually([&] { return S_ISDIR(Lstat(M("dir")).st_mode); }));
  ASSERT_EQ(::chmod(R("dir").c_str(), 0711), 0);
  EXPECT_TRUE(Eventually([&] { return (Lstat(M("dir")).st_mode & 0777) == 0711; }))
      << std::oct << (Lstat(M("dir")).st_mode & 0777) << "\n" << client_->LogTail();
  ASSERT_TRUE(ReadHistory(*server_, &history, &error)) << error;

  // touch -d: the time alone changes, and the mirror's time follows.
  ASSERT_TRUE(Run("touch -d '2001-02-03 04:05:06' '" + R("a.txt") + "'"));
  const time_t wanted = Lstat(R("a.txt")).st_mtim.tv_sec;
  EXPECT_TRUE(Eventually([&] { return Lstat(M("a.txt")).st_mtim.tv_sec == wanted; }))
      << client_->LogTail();
  ASSERT_TRUE(ReadHistory(*server_, &history, &error)) << error;
  EXPECT_GT(history.back().version, version);
  EXPECT_EQ(Read(M("a.txt")), "content");
  EXPECT_EQ(Lstat(M("a.txt")).st_mode & 0777, 0600u);

  // cp -p over it: content, time and mode at once.
  Write(A("b.txt"), "replaced content");
  ASSERT_EQ(::chmod(A("b.txt").c_str(), 0640), 0);
  ASSERT_TRUE(Run("touch -d '2002-03-04 05:06:07' '" + A("b.txt") + "'"));
  ASSERT_TRUE(Run("cp -p '" + A("b.txt") + "' '" + R("a.txt") + "'"));
  EXPECT_TRUE(Eventually([&] {
    return Read(M("a.txt")) == "replaced content" &&
           (Lstat(M("a.txt")).st_mode & 0777) == 0640 &&
           Lstat(M("a.txt")).st_mtim.tv_sec == Lstat(R("a.txt")).st_mtim.tv_sec;
  })) << client_->LogTail();
  EXPECT_EQ(WireFaults(), "");
  EXPECT_TRUE(server_->Stop()) << server_->error();
}

}  // namespace
}  // namespace dirsync::e2e
