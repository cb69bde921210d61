// Mirrors a small task through the real protocol: an in-process server
// over loopback serving a store and a catalog that each test lays out
// record by record, and the client's mirror run against it.
#include <gtest/gtest.h>
#include <unistd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <filesystem>
#include <thread>

#include "catalog_commands.h"
#include "client_log.h"
#include "downloader.h"
#include "mirror_command.h"
#include "mirror_session.h"
#include "mirror_state.h"
#include "protocol/test_server.h"
#include "protocol/test_site.h"
#include "tools/temp_dir.h"
#include "catalog/catalog_record.h"
#include "catalog/record_extension.h"

namespace dsclient_tool {
namespace {

namespace fs = std::filesystem;
using dirsync::TestSite;

// 2020-01-01 00:00:00 UTC as a catalog time, and as seconds since 1970.
constexpr uint64_t kJan2020 = 132223104000000000ULL;
constexpr time_t kJan2020Unix = 1577836800;

std::string Rec(uint64_t ref, uint32_t version, uint8_t state, const std::string& names,
                uint64_t size = 0, uint64_t writeTime = 0) {
  std::string bytes = TestSite::MakeRecord(ref, version, state, names);
  auto* r = reinterpret_cast<uint8_t*>(bytes.data());
  dirsync::record::SetFileSize(r, size);
  dirsync::record::SetLastWriteTime(r, writeTime);
  return bytes;
}

// The record with the entry's type and permissions behind its names.
std::string WithMode(const std::string& bytes, uint32_t mode) {
  dirsync::CatalogRecord r = dirsync::CatalogRecord::Allocate(static_cast<int32_t>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), r.data());
  dirsync::WriteExtras(r, dirsync::ExtrasForMode(mode));
  return std::string(reinterpret_cast<const char*>(r.data()), static_cast<size_t>(r.length()));
}

class MirrorProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site.WriteCredential(TestSite::kTaskName, "alice", "secret");
    WriteText(tokenFile, "secret\n");
    options.command = "mirror";
    options.port = dirsync::TestServerPort();
    options.task = TestSite::kTaskName;
    options.user = "alice";
    options.tokenFile = tokenFile;
    options.operands = {mirror.path()};
    SetLogQuiet(true);
  }
  void TearDown() override { SetLogQuiet(false); }

  // A file on the server: on disk, in the catalog and in the store.
  void AddFile(uint64_t ref, uint32_t version, const std::string& name,
               const std::string& content, uint64_t writeTime = kJan2020) {
    std::string linuxName = name;
    std::replace(linuxName.begin(), linuxName.end(), '\\', '/');
    site.WriteFile(linuxName, content);
    site.SetEntry(ref, version, name);
    site.AppendStore(Rec(ref, version, 1, name, content.size(), writeTime));
  }
  int Run() { return RunMirror(options, "secret"); }
  MirrorState SavedState() {
    MirrorState state;
    std::string error;
    EXPECT_TRUE(state.Load(mirror.path(), &error)) << error;
    return state;
  }

  TestSite site;
  TempDir mirror;
  TempDir scratch;
  std::string tokenFile = scratch / "token";
  Options options;
};

TEST_F(MirrorProtocolTest, MirrorsFilesThenRenamesAndDeletions) {
  std::string big(9 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 / 3);
  site.SetEntry(1, 1, "Sub", 6);
  site.AppendStore(Rec(1, 1, 6, "Sub"));
  AddFile(2, 1, "Sub\\a.txt", "hello");
  AddFile(3, 1, "big.bin", big);
  AddFile(4, 1, "empty", "");
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadText(mirror / "Sub/a.txt"), "hello");
  EXPECT_EQ(ReadText(mirror / "big.bin"), big);  // three ranges
  EXPECT_TRUE(fs::is_regular_file(mirror / "empty"));
  struct stat st;
  ASSERT_EQ(::stat((mirror / "Sub/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, kJan2020Unix);
  EXPECT_EQ(SavedState().position, site.task().store.storeSize.load());

  // The server renames a.txt (same content) and deletes big.bin; the
  // next run, compressed this time, applies both without downloading.
  fs::rename(site.rootDir() + "/Sub/a.txt", site.rootDir() + "/Sub/b.txt");
  site.SetEntry(2, 2, "Sub\\b.txt", 3);
  site.AppendStore(Rec(2, 2, 3, std::string("Sub\\b.txt\0Sub\\a.txt", 19), 5, kJan2020));
  site.SetEntry(3, 2, "big.bin", 255);
  site.AppendStore(Rec(3, 2, 255, "big.bin"));
  options.zip = true;
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadText(mirror / "Sub/b.txt"), "hello");
  EXPECT_FALSE(fs::exists(mirror / "Sub/a.txt"));
  EXPECT_FALSE(fs::exists(mirror / "big.bin"));
  MirrorState state = SavedState();
  EXPECT_EQ(state.position, site.task().store.storeSize.load());
  EXPECT_EQ(state.entries().size(), 3u);
}

TEST_F(MirrorProtocolTest, RefusedVersionIsFetchedAgainFromTheNewerRecord) {
  AddFile(10, 1, "c.txt", "old");
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadText(mirror / "c.txt"), "old");

  // As if the run had stopped between applying the record and the
  // download, while the file changed on the server meanwhile: the mirror
  // asks for version 1, the server holds version 2.
  MirrorState state = SavedState();
  state.Edit(10)->needsDownload = true;
  std::string error;
  ASSERT_TRUE(state.Save(mirror.path(), &error)) << error;
  AddFile(10, 2, "c.txt", "new!", kJan2020 + 10000000);

  // That run also left its temporary file behind; the next one removes it.
  std::string leftover = TemporaryNameFor(mirror / "c.txt", 10);
  WriteText(leftover, "partial");

  ProgressLine progress(false);
  MirrorSession session(options, "secret", mirror.path(), progress);
  ASSERT_EQ(session.Prepare(), MirrorSession::Step::kOk);
  EXPECT_FALSE(fs::exists(leftover));
  LoginStatus status;
  std::string message;
  ASSERT_EQ(session.Connect(&status, &message), MirrorSession::Step::kOk) << message;
  ASSERT_EQ(session.DownloadPending(), MirrorSession::Step::kOk);
  EXPECT_EQ(session.VersionWaits(), 1u);
  EXPECT_EQ(ReadText(mirror / "c.txt"), "old");
  ASSERT_EQ(session.CatchUp(), MirrorSession::Step::kOk);
  EXPECT_EQ(session.VersionWaits(), 0u);
  EXPECT_EQ(ReadText(mirror / "c.txt"), "new!");
  EXPECT_FALSE(SavedState().entries().at(10).needsDownload);
}

TEST_F(MirrorProtocolTest, FileThatGrewAfterItsRecordWaitsForTheNewerOne) {
  AddFile(40, 1, "log.txt", "first");
  AddFile(41, 1, "exact.txt", "12345");
  // The file grows before the mirror downloads it; the server has not
  // recorded that yet, so the catalog still holds version 1 of 5 bytes.
  site.WriteFile("log.txt", "first, then a longer tail");

  ProgressLine progress(false);
  MirrorSession session(options, "secret", mirror.path(), progress);
  ASSERT_EQ(session.Prepare(), MirrorSession::Step::kOk);
  LoginStatus status;
  std::string message;
  ASSERT_EQ(session.Connect(&status, &message), MirrorSession::Step::kOk) << message;
  ASSERT_EQ(session.CatchUp(), MirrorSession::Step::kOk);
  // Neither the longer content nor a cut of it passes for version 1.
  EXPECT_FALSE(fs::exists(mirror / "log.txt"));
  EXPECT_EQ(session.VersionWaits(), 1u);
  EXPECT_TRUE(SavedState().entries().at(40).waiting);
  // A file exactly as long as its record comes whole.
  EXPECT_EQ(ReadText(mirror / "exact.txt"), "12345");

  // The newer record arrives and brings the whole file.
  site.SetEntry(40, 2, "log.txt");
  site.AppendStore(Rec(40, 2, 2, "log.txt", 25, kJan2020 + 10000000));
  ASSERT_EQ(session.CatchUp(), MirrorSession::Step::kOk);
  EXPECT_EQ(session.VersionWaits(), 0u);
  EXPECT_EQ(ReadText(mirror / "log.txt"), "first, then a longer tail");
  EXPECT_FALSE(SavedState().entries().at(40).needsDownload);
}

// Temporary download files left anywhere in the mirror.
std::vector<std::string> Leftovers(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& item : fs::recursive_directory_iterator(dir)) {
    if (item.path().filename().string().rfind(".dirsync-download-", 0) == 0) {
      found.push_back(item.path().string());
    }
  }
  return found;
}

TEST_F(MirrorProtocolTest, FileThatShrankAfterItsRecordIsNeverTakenWhole) {
  constexpr size_t kMiB = 1024 * 1024;
  std::string big(9 * kMiB + 5, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 / 7);
  AddFile(80, 1, "small.txt", "0123456789");
  AddFile(81, 1, "big.bin", big);    // three ranges
  AddFile(82, 1, "edge.bin", big);
  // Each shrinks before the mirror asks for it; the catalog still holds
  // version 1 of the recorded sizes. The small one comes short at once;
  // the big one has a whole first range, a short second and nothing for
  // the third; the last ends exactly where its second range begins.
  site.WriteFile("small.txt", "01234");
  site.WriteFile("big.bin", big.substr(0, 5 * kMiB));
  site.WriteFile("edge.bin", big.substr(0, 4 * kMiB));

  ProgressLine progress(false);
  MirrorSession session(options, "secret", mirror.path(), progress);
  ASSERT_EQ(session.Prepare(), MirrorSession::Step::kOk);
  LoginStatus status;
  std::string message;
  ASSERT_EQ(session.Connect(&status, &message), MirrorSession::Step::kOk) << message;
  ASSERT_EQ(session.CatchUp(), MirrorSession::Step::kOk);
  for (const char* name : {"small.txt", "big.bin", "edge.bin"}) {
    EXPECT_FALSE(fs::exists(mirror / name)) << name;
  }
  EXPECT_EQ(session.VersionWaits(), 3u);
  EXPECT_TRUE(Leftovers(mirror.path()).empty()) << ::testing::PrintToString(Leftovers(mirror.path()));
  for (uint64_t ref : {80, 81, 82}) EXPECT_TRUE(SavedState().entries().at(ref).needsDownload);

  // The newer records bring the files as they are now.
  site.SetEntry(80, 2, "small.txt");
  site.AppendStore(Rec(80, 2, 2, "small.txt", 5, kJan2020 + 1));
  site.SetEntry(81, 2, "big.bin");
  site.AppendStore(Rec(81, 2, 2, "big.bin", 5 * kMiB, kJan2020 + 1));
  site.SetEntry(82, 2, "edge.bin");
  site.AppendStore(Rec(82, 2, 2, "edge.bin", 4 * kMiB, kJan2020 + 1));
  ASSERT_EQ(session.CatchUp(), MirrorSession::Step::kOk);
  EXPECT_EQ(ReadText(mirror / "small.txt"), "01234");
  EXPECT_EQ(ReadText(mirror / "big.bin"), big.substr(0, 5 * kMiB));
  EXPECT_EQ(ReadText(mirror / "edge.bin"), big.substr(0, 4 * kMiB));
  EXPECT_EQ(session.VersionWaits(), 0u);
}

TEST_F(MirrorProtocolTest, ManyFilesAtOnceEachArriveWholeInTheirPlace) {
  // Small files across directories and large ones between them, so that
  // many requests of several files are in flight; plain and zipped.
  std::map<std::string, std::string> files;
  uint64_t ref = 1000;
  for (int d = 0; d < 6; ++d) {
    std::string dir = "dir" + std::to_string(d);
    site.SetEntry(ref, 1, dir, 6);
    site.AppendStore(Rec(ref++, 1, 6, dir));
    for (int f = 0; f < 60; ++f) {
      std::string name = dir + "\\f" + std::to_string(f);
      std::string content(static_cast<size_t>((f * 37 + d * 11) % 300), static_cast<char>('a' + f % 26));
      content += name;
      if (f == 30) content.assign(5 * 1024 * 1024 + d, static_cast<char>(d));
      AddFile(ref++, 1, name, content);
      files[dir + "/f" + std::to_string(f)] = content;
    }
  }
  for (bool zip : {false, true}) {
    options.zip = zip;
    std::vector<std::string> lines;
    SetLogCapture(&lines);
    ASSERT_EQ(Run(), 0) << zip;
    SetLogCapture(nullptr);
    EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
    for (const auto& [path, content] : files) {
      ASSERT_EQ(ReadText(mirror / path), content) << path << " zip " << zip;
    }
    EXPECT_TRUE(Leftovers(mirror.path()).empty());
    MirrorState state = SavedState();
    for (const auto& [held, entry] : state.entries()) EXPECT_FALSE(entry.needsDownload) << held;
    fs::remove_all(mirror.path());
    fs::create_directories(mirror.path());
  }
}

TEST_F(MirrorProtocolTest, EmptyFilesAreMadeButAFifoNeverIs) {
  AddFile(90, 1, "empty.txt", "");
  ASSERT_EQ(::mkfifo((site.rootDir() + "/pipe").c_str(), 0644), 0);
  site.SetEntry(91, 1, "pipe");
  site.AppendStore(Rec(91, 1, 1, "pipe", 0, kJan2020));
  std::vector<std::string> lines;
  SetLogCapture(&lines);
  ProgressLine progress(false);
  MirrorSession session(options, "secret", mirror.path(), progress);
  ASSERT_EQ(session.Prepare(), MirrorSession::Step::kOk);
  LoginStatus status;
  std::string message;
  ASSERT_EQ(session.Connect(&status, &message), MirrorSession::Step::kOk) << message;
  ASSERT_EQ(session.CatchUp(), MirrorSession::Step::kOk);
  // The FIFO changes, and is asked for again: still no second line.
  site.SetEntry(91, 2, "pipe");
  site.AppendStore(Rec(91, 2, 2, "pipe", 0, kJan2020 + 1));
  ASSERT_EQ(session.CatchUp(), MirrorSession::Step::kOk);
  SetLogCapture(nullptr);
  EXPECT_TRUE(fs::is_regular_file(mirror / "empty.txt"));
  EXPECT_EQ(fs::file_size(mirror / "empty.txt"), 0u);
  struct stat st;
  EXPECT_NE(::lstat((mirror / "pipe").c_str(), &st), 0);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.find("pipe") != std::string::npos; }),
            1) << ::testing::PrintToString(lines);
}

TEST_F(MirrorProtocolTest, LinksArriveAsLinksAndPermissionsAsInTheTree) {
  // On the server: links of every kind, a private file, a FIFO.
  struct Link {
    uint64_t ref;
    std::string name, target;
  };
  const std::vector<Link> links = {{10, "rel", "sub/x.txt"},
                                   {11, "abs", "/etc/hostname"},
                                   {12, "dangling", "no/such/place"},
                                   {13, "up", "../../outside"}};
  for (const Link& l : links) {
    ASSERT_EQ(::symlink(l.target.c_str(), (site.rootDir() + "/" + l.name).c_str()), 0);
    std::string record = WithMode(Rec(l.ref, 1, 1, l.name, l.target.size(), kJan2020), 0120777);
    site.SetEntryRecord(record);
    site.AppendStore(record);
  }
  site.WriteFile("secret", "private");
  ASSERT_EQ(::chmod((site.rootDir() + "/secret").c_str(), 0600), 0);
  std::string secret = WithMode(Rec(20, 1, 1, "secret", 7, kJan2020), 0100600);
  site.SetEntryRecord(secret);
  site.AppendStore(secret);
  ASSERT_EQ(::mkfifo((site.rootDir() + "/pipe").c_str(), 0644), 0);
  std::string pipe = WithMode(Rec(21, 1, 1, "pipe", 0, kJan2020), 0010644);
  site.SetEntryRecord(pipe);
  site.AppendStore(pipe);
  // A link in the mirror where the tree has a file: replaced, its target
  // left alone.
  TempDir outside;
  WriteText(outside / "victim", "untouched");
  std::string outsideFile = outside / "victim";
  site.WriteFile("over", "content");
  std::string over = WithMode(Rec(22, 1, 1, "over", 7, kJan2020), 0100644);
  site.SetEntryRecord(over);
  site.AppendStore(over);
  ASSERT_EQ(::symlink(outsideFile.c_str(), (mirror / "over").c_str()), 0);

  for (bool zip : {false, true}) {
    options.zip = zip;
    std::vector<std::string> lines;
    SetLogCapture(&lines);
    ASSERT_EQ(Run(), 0) << zip;
    SetLogCapture(nullptr);
    for (const Link& l : links) {
      ASSERT_TRUE(fs::is_symlink(fs::symlink_status(mirror / l.name))) << l.name;
      EXPECT_EQ(fs::read_symlink(mirror / l.name).string(), l.target) << l.name;
    }
    struct stat st;
    ASSERT_EQ(::lstat((mirror / "secret").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ReadText(mirror / "secret"), "private");
    EXPECT_NE(::lstat((mirror / "pipe").c_str(), &st), 0);
    ASSERT_EQ(::lstat((mirror / "over").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadText(outsideFile), "untouched");
    // One line: the FIFO.
    EXPECT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_TRUE(Leftovers(mirror.path()).empty());
    fs::remove_all(mirror.path());
    fs::create_directories(mirror.path());
  }

  // On request, links that lead out of the mirror are left out (one line
  // each), and one an earlier run made goes; the others are made.
  ASSERT_EQ(Run(), 0);
  site.SetEntryRecord(WithMode(Rec(11, 2, 2, "abs", 13, kJan2020 + 1), 0120777));
  site.AppendStore(WithMode(Rec(11, 2, 2, "abs", 13, kJan2020 + 1), 0120777));
  options.skipOutsideLinks = true;
  {
    std::vector<std::string> lines;
    SetLogCapture(&lines);
    ASSERT_EQ(Run(), 0);
    SetLogCapture(nullptr);
    EXPECT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    struct stat st;
    EXPECT_NE(::lstat((mirror / "abs").c_str(), &st), 0);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(mirror / "up")));  // not fetched again
    fs::remove_all(mirror.path());
    fs::create_directories(mirror.path());
    lines.clear();
    SetLogCapture(&lines);
    ASSERT_EQ(Run(), 0);
    SetLogCapture(nullptr);
    EXPECT_NE(::lstat((mirror / "abs").c_str(), &st), 0);
    EXPECT_NE(::lstat((mirror / "up").c_str(), &st), 0);
    EXPECT_EQ(fs::read_symlink(mirror / "rel").string(), "sub/x.txt");
    EXPECT_EQ(fs::read_symlink(mirror / "dangling").string(), "no/such/place");
    EXPECT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);  // abs, up, pipe
    fs::remove_all(mirror.path());
    fs::create_directories(mirror.path());
  }
  options.skipOutsideLinks = false;

  // A link whose place now holds a file is not served as that file's
  // content: the server reads links only, and never follows one.
  fs::remove(site.rootDir() + "/rel");
  site.WriteFile("rel", "sub/x.tx!");  // as long as the target text
  std::vector<std::string> lines;
  SetLogCapture(&lines);
  ASSERT_EQ(Run(), 0);
  SetLogCapture(nullptr);
  struct stat st;
  EXPECT_NE(::lstat((mirror / "rel").c_str(), &st), 0);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.find("rel") != std::string::npos; }),
            1) << ::testing::PrintToString(lines);
}

TEST_F(MirrorProtocolTest, NoRoomToWriteEndsThePassWithOneLineAndLosesNothing) {
  for (uint64_t ref = 100; ref < 140; ++ref) {
    AddFile(ref, 1, "d\\f" + std::to_string(ref), std::string(ref, 'x'));
  }
  // The mirror on a filesystem of its own (in a mount namespace of this
  // test's process), whose inodes can run out.
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << "needs root: " << std::strerror(errno);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  ASSERT_EQ(::mount("mirror", mirror.path().c_str(), "tmpfs", 0, "size=16m"), 0)
      << std::strerror(errno);
  ProgressLine progress(false);
  MirrorSession session(options, "secret", mirror.path(), progress);
  ASSERT_EQ(session.Prepare(), MirrorSession::Step::kOk);
  LoginStatus status;
  std::string message;
  ASSERT_EQ(session.Connect(&status, &message), MirrorSession::Step::kOk) << message;

  // Room for the directory the files go to, and for no file.
  struct statvfs fs;
  ASSERT_EQ(::statvfs(mirror.path().c_str(), &fs), 0);
  std::string tight = "size=16m,nr_inodes=" + std::to_string(fs.f_files - fs.f_ffree + 1);
  ASSERT_EQ(::mount("mirror", mirror.path().c_str(), "tmpfs", MS_REMOUNT, tight.c_str()), 0)
      << std::strerror(errno);
  std::vector<std::string> lines;
  SetLogCapture(&lines);
  MirrorSession::Step step = session.CatchUp();
  SetLogCapture(nullptr);
  EXPECT_EQ(step, MirrorSession::Step::kNoRoom);
  // One line, not one per file.
  ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
  EXPECT_NE(lines[0].find(std::strerror(ENOSPC)), std::string::npos) << lines[0];
  EXPECT_TRUE(Leftovers(mirror.path()).empty());
  MirrorState state = SavedState();
  EXPECT_EQ(state.position, site.task().store.storeSize.load());
  for (uint64_t ref = 100; ref < 140; ++ref) {
    EXPECT_TRUE(state.entries().at(ref).needsDownload) << ref;
    EXPECT_FALSE(state.entries().at(ref).waiting) << ref;
  }

  // With room again the next pass brings every file.
  ASSERT_EQ(::mount("mirror", mirror.path().c_str(), "tmpfs", MS_REMOUNT, "size=16m,nr_inodes=10000"), 0);
  ASSERT_TRUE(session.HasDownloadsToTry());
  ASSERT_EQ(session.CatchUp(), MirrorSession::Step::kOk);
  for (uint64_t ref = 100; ref < 140; ++ref) {
    EXPECT_EQ(ReadText(mirror / ("d/f" + std::to_string(ref))), std::string(ref, 'x'));
  }
  session.Disconnect();
  ::umount2(mirror.path().c_str(), MNT_DETACH);
}

TEST_F(MirrorProtocolTest, FileGoneFromTheServerIsSkippedUntilRecordedAgain) {
  AddFile(20, 1, "here.txt", "here");
  AddFile(21, 1, "gone.txt", "gone");
  fs::remove(site.rootDir() + "/gone.txt");
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadText(mirror / "here.txt"), "here");
  EXPECT_FALSE(fs::exists(mirror / "gone.txt"));
  EXPECT_TRUE(SavedState().entries().at(21).waiting);
  // Its next record brings it.
  AddFile(21, 2, "gone.txt", "back");
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadText(mirror / "gone.txt"), "back");
}

TEST_F(MirrorProtocolTest, NewStoreIsComparedWithWhatTheMirrorHolds) {
  AddFile(30, 1, "keep.txt", "v1");
  AddFile(31, 1, "gone.txt", "g");
  AddFile(32, 1, "changed.txt", "c1");
  ASSERT_EQ(Run(), 0);
  WriteText(mirror / "stray/local.txt", "not on the server");

  // A compacted store: one record per live entry, under a new id. keep.txt
  // is recorded as the mirror holds it (its bytes on the server differ, so
  // a download would show), changed.txt anew, gone.txt not at all.
  ASSERT_EQ(::ftruncate(site.task().store.fd.get(), 0), 0);
  site.task().store.storeSize = 0;
  {
    dirsync::WriterLock lock(&site.task().catalogLock);
    site.task().entries.erase(31);
  }
  site.WriteFile("keep.txt", "V1");
  site.AppendStore(Rec(30, 1, 1, "keep.txt", 2, kJan2020));
  AddFile(32, 2, "changed.txt", "c2", kJan2020 + 5);
  site.task().storeId = 0x600dcafe;
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadText(mirror / "keep.txt"), "v1");
  EXPECT_EQ(ReadText(mirror / "changed.txt"), "c2");
  EXPECT_FALSE(fs::exists(mirror / "gone.txt"));
  // What the mirror never held is none of its business.
  EXPECT_TRUE(fs::exists(mirror / "stray/local.txt"));
  MirrorState state = SavedState();
  EXPECT_EQ(state.storeId, 0x600dcafeu);
  EXPECT_EQ(state.position, site.task().store.storeSize.load());
  EXPECT_EQ(state.entries().count(31), 0u);
  EXPECT_EQ(state.entries().at(32).version, 2u);
}

TEST_F(MirrorProtocolTest, CatalogListingFoldsTheWholeStore) {
  site.SetEntry(1, 1, "Dir", 6);
  site.AppendStore(Rec(1, 1, 6, "Dir"));
  AddFile(2, 1, "Dir\\one.txt", "1");
  AddFile(3, 1, "two.txt", "22");
  site.FillBlock();  // the listing spans two blocks
  site.SetEntry(3, 2, "Dir\\Two.txt", 3);
  site.AppendStore(Rec(3, 2, 3, std::string("Dir\\Two.txt\0two.txt", 19), 2, kJan2020));
  site.SetEntry(2, 2, "Dir\\one.txt", 255);
  site.AppendStore(Rec(2, 2, 255, "Dir\\one.txt"));

  dsclient::Connection connection;
  SessionInfo info;
  std::string message;
  ASSERT_EQ(OpenSession(connection, options, "secret", &info, &message), LoginStatus::kOk)
      << message;
  EXPECT_EQ(info.storeId, site.task().storeId);
  CatalogView view;
  ASSERT_TRUE(view.ReadAll(connection, options.task, true, &message)) << message;
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  PrintCatalog(view, out);
  std::fclose(out);
  EXPECT_EQ(std::string(text, size), "Dir\tdirectory\t1\t-\nDir/Two.txt\trenamed\t2\t2\n");
  std::free(text);
  ASSERT_NE(view.FindByPath("dir/two.TXT"), nullptr);
  EXPECT_EQ(view.FindByPath("dir/two.TXT")->fileRef, 3u);
  EXPECT_EQ(view.FindByPath("Dir\\one.txt"), nullptr);
}

TEST_F(MirrorProtocolTest, FollowAppliesChangesAsTheyComeUntilStopped) {
  AddFile(50, 1, "first.txt", "1");
  options.follow = true;
  // Changes must come by the server's answer to "wait": a client that
  // polled would not ask again within the test.
  options.intervalMs = 3600000;
  stopRequested = false;
  int status = -1;
  std::thread follower([&] { status = Run(); });
  auto waitFor = [&](const std::string& path, const std::string& content) {
    for (int i = 0; i < 500 && ReadText(mirror / path) != content; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ReadText(mirror / path) == content;
  };
  EXPECT_TRUE(waitFor("first.txt", "1"));
  AddFile(51, 1, "later\\second.txt", "2");
  EXPECT_TRUE(waitFor("later/second.txt", "2"));
  site.SetEntry(50, 2, "first.txt", 255);
  site.AppendStore(Rec(50, 2, 255, "first.txt"));
  for (int i = 0; i < 500 && fs::exists(mirror / "first.txt"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(fs::exists(mirror / "first.txt"));
  stopRequested = true;
  follower.join();
  stopRequested = false;
  EXPECT_EQ(status, 0);
  EXPECT_EQ(SavedState().position, site.task().store.storeSize.load());
}

TEST_F(MirrorProtocolTest, GetFetchesOneFileByItsPath) {
  AddFile(60, 1, "Dir\\Report.TXT", "report");
  options.command = "get";
  options.operands = {"dir/report.txt"};
  options.out = scratch / "copy.txt";
  ASSERT_EQ(RunGet(options, "secret"), 0);
  EXPECT_EQ(ReadText(scratch / "copy.txt"), "report");
  // Into a directory: under the file's own name; the directory stays.
  fs::create_directories(scratch / "into");
  options.out = scratch / "into";
  ASSERT_EQ(RunGet(options, "secret"), 0);
  EXPECT_EQ(ReadText(scratch / "into/Report.TXT"), "report");
  options.operands = {"missing.txt"};
  EXPECT_EQ(RunGet(options, "secret"), 1);
  options.operands = {"Dir"};
  site.SetEntry(61, 1, "Dir", 6);
  site.AppendStore(Rec(61, 1, 6, "Dir"));
  EXPECT_EQ(RunGet(options, "secret"), 1);
}

TEST_F(MirrorProtocolTest, DamagedBlockIsPassedOverToTheNextOne) {
  AddFile(70, 1, "before.txt", "b");
  std::string garbage(100, '\x01');
  garbage[0] = 10;  // a record length below the header size
  garbage[1] = garbage[2] = garbage[3] = 0;
  site.AppendStore(garbage);
  site.FillBlock();
  AddFile(71, 1, "after.txt", "a");
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(ReadText(mirror / "before.txt"), "b");
  EXPECT_EQ(ReadText(mirror / "after.txt"), "a");
  EXPECT_EQ(SavedState().position, site.task().store.storeSize.load());
}

TEST_F(MirrorProtocolTest, RefusedLoginsFailTheRun) {
  AddFile(40, 1, "x.txt", "x");
  EXPECT_EQ(RunMirror(options, "wrong"), 1);
  EXPECT_FALSE(fs::exists(mirror / "x.txt"));
  ASSERT_EQ(Run(), 0);
  // A directory that mirrors one task is not handed to another.
  options.task = "unknown";
  EXPECT_EQ(RunMirror(options, "secret"), 1);
  EXPECT_EQ(ReadText(mirror / "x.txt"), "x");
  // An unknown task fails at the server.
  options.operands = {scratch / "other"};
  EXPECT_EQ(RunMirror(options, "secret"), 1);
  EXPECT_EQ(SavedState().task, TestSite::kTaskName);
}

}  // namespace
}  // namespace dsclient_tool
