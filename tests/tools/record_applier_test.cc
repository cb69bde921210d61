#include "record_applier.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "client_log.h"
#include "local_path.h"
#include "tools/temp_dir.h"

namespace dsclient_tool {
namespace {

namespace fs = std::filesystem;
using dsclient::StoreRecord;

constexpr uint8_t kAdded = 1, kUpdated = 2, kRenamed = 3, kHeader = 4, kStale = 5,
                  kDirectory = 6, kDirLeft = 7, kDeleted = 255;

StoreRecord Rec(uint64_t ref, uint8_t state, std::string name, uint32_t version = 1,
                uint64_t size = 0, uint64_t writeTime = 0, std::string oldName = "") {
  StoreRecord r;
  r.fileRef = ref;
  r.state = state;
  r.name = std::move(name);
  r.version = version;
  r.fileSize = size;
  r.lastWriteTime = writeTime;
  r.oldName = std::move(oldName);
  return r;
}

class RecordApplierTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogQuiet(true); }
  void TearDown() override { SetLogQuiet(false); }

  // What a downloader does: the content lands under the entry's path.
  void Download(uint64_t ref, const std::string& content) {
    const MirrorEntry& entry = state.entries().at(ref);
    std::string local = LocalName(entry.name);
    std::string error;
    ASSERT_TRUE(tree.MakeParents(local, &error)) << error;
    WriteText(dir / local, content);
    applier.MarkDownloaded(ref);
  }
  bool Exists(const std::string& relative) const {
    struct stat st;
    return ::lstat((dir / relative).c_str(), &st) == 0;
  }

  TempDir dir;
  LocalTree tree{dir.path()};
  MirrorState state;
  RecordApplier applier{tree, state};
};

TEST_F(RecordApplierTest, FilesWaitForDownloadAndRenamesMoveHeldContent) {
  applier.Apply(Rec(1, kDirectory, "docs"));
  applier.Apply(Rec(2, kAdded, "docs\\deep\\a.txt", 1, 5, 111));
  EXPECT_TRUE(fs::is_directory(dir / "docs"));
  EXPECT_EQ(applier.PendingDownloads(), std::vector<uint64_t>{2});
  EXPECT_EQ(applier.PendingBytes(), 5u);
  Download(2, "hello");
  EXPECT_TRUE(applier.PendingDownloads().empty());

  // A rename with the same size and write time moves the file and needs
  // no download; the parent it leaves empty (never a catalog directory)
  // goes too, the catalog directory stays.
  applier.Apply(Rec(2, kRenamed, "docs\\b.txt", 2, 5, 111, "docs\\deep\\a.txt"));
  EXPECT_EQ(ReadText(dir / "docs/b.txt"), "hello");
  EXPECT_FALSE(Exists("docs/deep"));
  EXPECT_TRUE(applier.PendingDownloads().empty());

  // A change of letter case only arrives as an update: the file follows.
  applier.Apply(Rec(2, kUpdated, "docs\\B.TXT", 3, 5, 111));
  EXPECT_EQ(ReadText(dir / "docs/B.TXT"), "hello");
  EXPECT_FALSE(Exists("docs/b.txt"));
  EXPECT_TRUE(applier.PendingDownloads().empty());

  // New content (another size or write time) is downloaded again.
  applier.Apply(Rec(2, kUpdated, "docs\\B.TXT", 4, 5, 222));
  EXPECT_EQ(applier.PendingDownloads(), std::vector<uint64_t>{2});
  EXPECT_EQ(state.entries().at(2).version, 4u);
}

TEST_F(RecordApplierTest, StaleRecordsArePassedOverAndTheLatestFindsTheHeldFile) {
  applier.Apply(Rec(0, kHeader, ""));
  applier.Apply(Rec(5, kAdded, "a.txt", 1, 3, 10));
  Download(5, "abc");
  // The rename to b.txt was overtaken; only the latest record counts, and
  // it finds the file where the mirror holds it.
  applier.Apply(Rec(5, kStale, "b.txt", 2, 3, 10, "a.txt"));
  EXPECT_TRUE(Exists("a.txt"));
  applier.Apply(Rec(5, kRenamed, "c.txt", 3, 3, 10, "b.txt"));
  EXPECT_FALSE(Exists("a.txt"));
  EXPECT_EQ(ReadText(dir / "c.txt"), "abc");
  EXPECT_TRUE(applier.PendingDownloads().empty());
}

TEST_F(RecordApplierTest, DeletionsRemoveOnlyWhatTheMirrorStillHoldsForThatReference) {
  applier.Apply(Rec(1, kAdded, "a.txt", 1, 3, 10));
  applier.Apply(Rec(2, kAdded, "b.txt", 1, 3, 20));
  Download(1, "old");
  Download(2, "new");
  // "mv b.txt a.txt": the rename may come before the deletion of the file
  // it replaced; that deletion must not remove the new content.
  applier.Apply(Rec(2, kRenamed, "a.txt", 2, 3, 20, "b.txt"));
  applier.Apply(Rec(1, kDeleted, "a.txt", 2));
  EXPECT_EQ(ReadText(dir / "a.txt"), "new");
  EXPECT_FALSE(Exists("b.txt"));
  EXPECT_EQ(state.entries().count(1), 0u);

  applier.Apply(Rec(2, kDeleted, "a.txt", 3));
  EXPECT_FALSE(Exists("a.txt"));
  EXPECT_TRUE(state.entries().empty());
  // A deletion of something never held does nothing.
  WriteText(dir / "mine.txt", "x");
  applier.Apply(Rec(9, kDeleted, "mine.txt", 4));
  EXPECT_TRUE(Exists("mine.txt"));
}

TEST_F(RecordApplierTest, DirectoryThatLeftTheRootGoesWithEverythingBelow) {
  applier.Apply(Rec(1, kDirectory, "d"));
  applier.Apply(Rec(2, kDirectory, "d\\e"));
  applier.Apply(Rec(3, kAdded, "d\\e\\f.txt", 1, 1, 1));
  applier.Apply(Rec(4, kAdded, "d\\g.txt", 1, 1, 1));
  applier.Apply(Rec(5, kAdded, "keep.txt", 1, 1, 1));
  for (uint64_t ref : {3, 4, 5}) Download(ref, "x");
  WriteText(dir / "d/e/untracked.tmp", "y");

  applier.Apply(Rec(1, kDirLeft, "d", 2));
  EXPECT_FALSE(Exists("d"));
  // The files' own deletion records follow and find nothing to do.
  applier.Apply(Rec(3, kDeleted, "d\\e\\f.txt", 2));
  applier.Apply(Rec(2, kDirLeft, "d\\e", 2));
  EXPECT_EQ(state.entries().size(), 1u);
  EXPECT_TRUE(Exists("keep.txt"));
  EXPECT_TRUE(applier.PendingDownloads().empty());
}

// A record with the directory it lies in.
StoreRecord In(uint64_t parent, StoreRecord r) {
  r.parentRef = parent;
  return r;
}

TEST_F(RecordApplierTest, DirectoryRemovalTakesOnlyWhatIsHeldBelowIt) {
  constexpr uint64_t kRoot = 100;
  applier.Apply(In(kRoot, Rec(1, kDirectory, "d")));
  applier.Apply(In(1, Rec(2, kAdded, "d\\f.txt", 1, 1, 1)));
  applier.Apply(In(1, Rec(3, kDirectory, "d\\s")));
  applier.Apply(In(3, Rec(4, kAdded, "d\\s\\g.txt", 1, 1, 1)));
  // Newer entries that took paths below d: a file of another directory
  // (whose own record the mirror has not seen yet) and a directory moved
  // in from elsewhere with its file.
  applier.Apply(In(9, Rec(5, kAdded, "d\\n.txt", 1, 1, 1)));
  applier.Apply(In(kRoot, Rec(6, kDirectory, "d\\e")));
  applier.Apply(In(6, Rec(7, kAdded, "d\\e\\x.txt", 1, 1, 1)));
  // A file of d's that its own record moved elsewhere.
  applier.Apply(In(1, Rec(8, kAdded, "d\\h.txt", 1, 1, 1)));
  for (uint64_t ref : {2, 4, 5, 7, 8}) Download(ref, "x");
  applier.Apply(In(kRoot, Rec(8, kRenamed, "h.txt", 2, 1, 1, "d\\h.txt")));
  WriteText(dir / "d/s/untracked.tmp", "y");

  for (uint8_t how : {kDeleted, kDirLeft}) {
    SCOPED_TRACE(how);
    MirrorState before = state;
    applier.Apply(In(kRoot, Rec(1, how, "d", 2)));
    EXPECT_FALSE(Exists("d/f.txt"));
    EXPECT_FALSE(Exists("d/s"));
    for (uint64_t ref : {1, 2, 3, 4}) EXPECT_EQ(state.entries().count(ref), 0u) << ref;
    // What the mirror holds there under other parents stays, held.
    EXPECT_TRUE(Exists("d/n.txt"));
    EXPECT_TRUE(Exists("d/e/x.txt"));
    EXPECT_TRUE(Exists("h.txt"));
    for (uint64_t ref : {5, 6, 7, 8}) EXPECT_EQ(state.entries().count(ref), 1u) << ref;
    EXPECT_TRUE(applier.PendingDownloads().empty());
    // The files' own deletion records follow and find nothing to do.
    applier.Apply(In(1, Rec(2, kDeleted, "d\\f.txt", 2)));
    EXPECT_TRUE(Exists("d/n.txt"));

    // Put d back as it was for the other kind of removal.
    state = before;
    applier.Reindex();
    std::string error;
    ASSERT_TRUE(tree.MakeDirectory("d/s", &error)) << error;
    WriteText(dir / "d/f.txt", "x");
    WriteText(dir / "d/s/g.txt", "x");
  }
}

TEST_F(RecordApplierTest, DirectoryMoveTakesItsSubtreeAlongInEitherOrder) {
  applier.Apply(Rec(1, kDirectory, "d1"));
  applier.Apply(Rec(2, kDirectory, "d1\\d2"));
  applier.Apply(Rec(3, kAdded, "d1\\d2\\f.txt", 1, 4, 7));
  applier.Apply(Rec(4, kAdded, "d1\\g.txt", 1, 4, 7));
  Download(3, "ffff");
  Download(4, "gggg");

  // The server writes a moved file's record before its directory's.
  applier.Apply(Rec(3, kRenamed, "D1new\\d2\\f.txt", 2, 4, 7, "d1\\d2\\f.txt"));
  applier.Apply(Rec(2, kDirectory, "D1new\\d2", 2));
  applier.Apply(Rec(1, kDirectory, "D1new", 2));
  EXPECT_FALSE(Exists("d1"));
  EXPECT_EQ(ReadText(dir / "D1new/d2/f.txt"), "ffff");
  // g.txt moved with its directory; its own record then changes nothing.
  EXPECT_EQ(ReadText(dir / "D1new/g.txt"), "gggg");
  EXPECT_EQ(state.entries().at(4).name, "D1new\\g.txt");
  applier.Apply(Rec(4, kRenamed, "D1new\\g.txt", 2, 4, 7, "d1\\g.txt"));
  EXPECT_TRUE(applier.PendingDownloads().empty());

  // A directory record first: the whole directory is renamed at once.
  applier.Apply(Rec(1, kDirectory, "D1other", 3));
  EXPECT_EQ(ReadText(dir / "D1other/d2/f.txt"), "ffff");
  EXPECT_EQ(state.entries().at(3).name, "D1other\\d2\\f.txt");
  applier.Apply(Rec(3, kRenamed, "D1other\\d2\\f.txt", 3, 4, 7, "D1new\\d2\\f.txt"));
  EXPECT_TRUE(applier.PendingDownloads().empty());
}

TEST_F(RecordApplierTest, UnsafePathsAreRefusedAndTouchNothing) {
  TempDir outside;
  WriteText(outside / "victim.txt", "safe");
  const char* unsafe[] = {"..\\evil.txt", "a\\..\\..\\evil.txt", "\\abs.txt",
                          "/abs.txt", ".dirsync\\state", ".DIRSYNC\\x",
                          "a\\\\b", "", ".", "a\\.\\b"};
  uint64_t ref = 100;
  for (const char* name : unsafe) {
    applier.Apply(Rec(ref++, kAdded, name, 1, 1, 1));
    applier.Apply(Rec(ref++, kDirectory, name));
  }
  EXPECT_EQ(applier.refusedCount(), 2 * std::size(unsafe));
  EXPECT_TRUE(state.entries().empty());
  EXPECT_TRUE(fs::is_empty(dir.path()));

  // A link planted in the mirror is replaced by a real directory before
  // anything is written below it, and removals do not follow it.
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "link").c_str()), 0);
  std::string error;
  EXPECT_FALSE(tree.AncestorsAreDirectories("link/victim.txt"));
  EXPECT_TRUE(tree.RemoveFile("link/victim.txt", &error));
  EXPECT_TRUE(tree.RemoveTree("link/x", &error));
  EXPECT_EQ(ReadText(outside / "victim.txt"), "safe");
  ASSERT_TRUE(tree.MakeParents("link/victim.txt", &error)) << error;
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir / "link")));
  EXPECT_EQ(ReadText(outside / "victim.txt"), "safe");
}

TEST_F(RecordApplierTest, StartOverClearsEverythingButTheStateDirectory) {
  applier.Apply(Rec(1, kAdded, "a\\b.txt", 1, 1, 1));
  Download(1, "x");
  WriteText(dir / ".dirsync/state", "kept");
  std::string error;
  ASSERT_TRUE(applier.StartOver(77, &error)) << error;
  EXPECT_FALSE(Exists("a"));
  EXPECT_EQ(ReadText(dir / ".dirsync/state"), "kept");
  EXPECT_TRUE(state.entries().empty());
  EXPECT_EQ(state.storeId, 77u);
  EXPECT_EQ(state.position, 0);
  // Its index is empty too: a deletion of the old reference does nothing.
  WriteText(dir / "a/b.txt", "user");
  applier.Apply(Rec(1, kDeleted, "a\\b.txt", 2));
  EXPECT_TRUE(Exists("a/b.txt"));
}

TEST_F(RecordApplierTest, ReusedReferenceAndFileReplacedByDirectory) {
  applier.Apply(Rec(1, kAdded, "x", 1, 1, 1));
  Download(1, "f");
  // The file x was deleted and a directory of the same name took its
  // place (recorded first, under another reference).
  applier.Apply(Rec(2, kDirectory, "x"));
  EXPECT_TRUE(fs::is_directory(dir / "x"));
  applier.Apply(Rec(1, kDeleted, "x", 2));
  EXPECT_TRUE(fs::is_directory(dir / "x"));
  // A reference that named a directory and now names a file.
  applier.Apply(Rec(2, kRenamed, "y.txt", 2, 1, 1, "x"));
  EXPECT_EQ(applier.PendingDownloads(), std::vector<uint64_t>{2});
  EXPECT_FALSE(state.entries().at(2).directory);
  EXPECT_FALSE(Exists("x"));
}

StoreRecord WithMode(StoreRecord r, uint32_t mode) {
  r.hasAttributes = true;
  r.mode = mode;
  return r;
}

TEST_F(RecordApplierTest, LinksAreHeldAsLinksAndSpecialsAreSkipped) {
  applier.Apply(WithMode(Rec(1, kAdded, "link", 1, 3, 111), 0120777));
  EXPECT_EQ(applier.PendingDownloads(), std::vector<uint64_t>{1});
  EXPECT_TRUE(state.entries().at(1).link());
  ASSERT_EQ(::symlink("a/b", (dir / "link").c_str()), 0);  // what the downloader makes
  applier.MarkDownloaded(1);
  // A rename moves the link itself, with no download.
  applier.Apply(WithMode(Rec(1, kRenamed, "moved", 2, 3, 111, "link"), 0120777));
  EXPECT_TRUE(applier.PendingDownloads().empty());
  EXPECT_EQ(fs::read_symlink(dir / "moved"), "a/b");
  EXPECT_FALSE(Exists("link"));
  // A regular file at the link's place is never taken for it, and a link
  // record never for a file there: either way the content is fetched.
  applier.Apply(Rec(2, kAdded, "f", 1, 3, 111));
  Download(2, "abc");
  applier.Apply(WithMode(Rec(2, kUpdated, "f", 2, 3, 111), 0120777));
  EXPECT_EQ(applier.PendingDownloads(), std::vector<uint64_t>{2});

  // FIFOs, sockets and devices: no entry, nothing to download, and what
  // the reference held before goes.
  applier.Apply(Rec(3, kAdded, "p", 1, 0, 111));
  Download(3, "");
  applier.Apply(WithMode(Rec(3, kUpdated, "p", 2, 0, 111), 0010644));
  applier.Apply(WithMode(Rec(4, kAdded, "sock", 1, 0, 111), 0140755));
  EXPECT_EQ(state.entries().count(3), 0u);
  EXPECT_EQ(state.entries().count(4), 0u);
  EXPECT_FALSE(Exists("p"));
  EXPECT_EQ(applier.PendingDownloads(), std::vector<uint64_t>{2});
}

TEST_F(RecordApplierTest, PermissionsAloneChangeWithoutDownload) {
  applier.Apply(WithMode(Rec(1, kAdded, "secret", 1, 3, 111), 0100600));
  Download(1, "abc");
  ASSERT_EQ(::chmod((dir / "secret").c_str(), 0644), 0);  // as a fresh file may be
  applier.Apply(WithMode(Rec(1, kUpdated, "secret", 2, 3, 111), 0100640));
  EXPECT_TRUE(applier.PendingDownloads().empty());
  struct stat st;
  ASSERT_EQ(::stat((dir / "secret").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(state.entries().at(1).mode, 0100640u);
  // Directories: group and others as the record says, the owner always
  // full access (what lies below must stay writable).
  applier.Apply(WithMode(Rec(5, kDirectory, "private"), 040750));
  ASSERT_EQ(::stat((dir / "private").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  applier.Apply(WithMode(Rec(5, kDirectory, "private", 2), 040500));
  ASSERT_EQ(::stat((dir / "private").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // Special bits never come along.
  applier.Apply(WithMode(Rec(1, kUpdated, "secret", 3, 3, 111), 0104755));
  ASSERT_EQ(::stat((dir / "secret").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  // A link planted at the place is not followed by a change of mode.
  WriteText(dir / "target", "t");
  ASSERT_EQ(::chmod((dir / "target").c_str(), 0600), 0);
  fs::remove(dir / "secret");
  ASSERT_EQ(::symlink("target", (dir / "secret").c_str()), 0);
  applier.Apply(WithMode(Rec(1, kUpdated, "secret", 4, 3, 111), 0100666));
  ASSERT_EQ(::stat((dir / "target").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace dsclient_tool
