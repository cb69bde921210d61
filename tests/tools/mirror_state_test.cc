#include "mirror_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <utility>
#include <vector>

#include "record_applier.h"
#include "state_file.h"
#include "tools/temp_dir.h"

namespace dsclient_tool {
namespace {

MirrorState SampleState() {
  MirrorState state;
  state.Reset(0xfedcba98u);
  state.task = "my docs%";
  state.position = 4194304LL * 3 + 66;
  MirrorEntry dir;
  dir.directory = true;
  dir.name = "Sub Dir";
  dir.version = 2;
  dir.parentRef = 5;
  state.Put(7, dir);
  MirrorEntry file;
  file.name = "Sub Dir\\100% new\nline\tü.txt";
  file.version = 0xffffffffu;
  file.size = 1ULL << 40;
  file.lastWriteTime = 134411202528712595ULL;
  file.needsDownload = true;
  file.waiting = true;
  file.parentRef = 0xfffffffffffffffeULL;
  file.mode = 0100640;
  state.Put(0xffffffffffffffffULL, file);
  MirrorEntry link;
  link.name = "Sub Dir\\link";
  link.size = 9;
  link.parentRef = 7;
  link.mode = 0120777;
  state.Put(8, link);
  MirrorEntry plain;
  plain.name = "a";
  state.Put(1, plain);
  return state;
}

TEST(MirrorStateTest, SaveAndLoadKeepEveryField) {
  TempDir dir;
  MirrorState saved = SampleState();
  std::string error;
  ASSERT_TRUE(saved.Save(dir.path(), &error)) << error;
  // Written by renaming a synced temporary file: none is left behind.
  EXPECT_FALSE(std::filesystem::exists(MirrorState::PathFor(dir.path()) + ".tmp"));

  MirrorState loaded;
  ASSERT_TRUE(loaded.Load(dir.path(), &error)) << error;
  EXPECT_TRUE(loaded.hasStore);
  EXPECT_EQ(loaded.task, "my docs%");
  EXPECT_EQ(loaded.storeId, saved.storeId);
  EXPECT_EQ(loaded.position, saved.position);
  EXPECT_EQ(loaded.entries(), saved.entries());
  // Names are escaped: one entry per line whatever they hold.
  std::string text = ReadText(MirrorState::PathFor(dir.path()));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10);
}

TEST(MirrorStateTest, MissingFileIsAFreshMirrorAndDamagedOnesAreRefused) {
  TempDir dir;
  MirrorState state = SampleState();
  std::string error;
  ASSERT_TRUE(state.Load(dir.path(), &error));
  EXPECT_FALSE(state.hasStore);
  EXPECT_EQ(state.position, 0);
  EXPECT_TRUE(state.entries().empty());

  std::string whole = SampleState().Serialize();
  std::string path = MirrorState::PathFor(dir.path());
  struct Case {
    std::string text;
    const char* what;
  } cases[] = {
      {whole.substr(0, whole.size() - 4), "cut off before its end line"},
      {whole.substr(0, whole.size() / 2), "cut off in the middle"},
      {"", "empty"},
      {"something else\nend\n", "not a state file"},
      {"dirsync-mirror 1\nposition -5\nend\n", "negative position"},
      {"dirsync-mirror 1\nf 1 2 x 4 0 a\nend\n", "bad number"},
      {"dirsync-mirror 1\nf 1 2 3 4 0 a%4\nend\n", "bad escape"},
      {"dirsync-mirror 1\nf 1 2 3 4 0 a p\nend\n", "bad parent reference"},
      {"dirsync-mirror 1\nq 1\nend\n", "unknown line"},
  };
  for (const Case& c : cases) {
    WriteText(path, c.text);
    error.clear();
    EXPECT_FALSE(state.Load(dir.path(), &error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
  }

  // A state written before parent references were kept still loads.
  WriteText(path, "dirsync-mirror 1\nstore 9\nposition 66\nd 7 2 Sub\nf 8 1 3 4 1 Sub\\a\nend\n");
  ASSERT_TRUE(state.Load(dir.path(), &error)) << error;
  ASSERT_EQ(state.entries().size(), 2u);
  EXPECT_EQ(state.entries().at(7).parentRef, 0u);
  EXPECT_EQ(state.entries().at(8).name, "Sub\\a");
  EXPECT_TRUE(state.entries().at(8).needsDownload);
}

TEST(MirrorStateTest, ReloadedStateStillOwnsItsPaths) {
  TempDir dir;
  LocalTree tree(dir.path());
  MirrorState state;
  state.Reset(1);
  RecordApplier applier(tree, state);
  dsclient::StoreRecord added;
  added.fileRef = 3;
  added.state = 1;
  added.name = "x\\f.txt";
  added.fileSize = 1;
  applier.Apply(added);
  WriteText(dir / "x/f.txt", "1");
  applier.MarkDownloaded(3);
  std::string error;
  ASSERT_TRUE(state.Save(dir.path(), &error)) << error;

  // A later run loads the state and applies the file's deletion.
  MirrorState reloaded;
  ASSERT_TRUE(reloaded.Load(dir.path(), &error)) << error;
  RecordApplier next(tree, reloaded);
  dsclient::StoreRecord deleted = added;
  deleted.state = 255;
  next.Apply(deleted);
  EXPECT_FALSE(std::filesystem::exists(dir / "x"));
  EXPECT_TRUE(reloaded.entries().empty());
}

// The real file operations, each written down as "op name" (the file's
// base name); the next operation of a kind can be made to fail.
class SpyFiles : public StateFileSystem {
 public:
  int Open(const std::string& path, int flags, mode_t mode) override {
    int fd = StateFileSystem::Open(path, flags, mode);
    if (fd >= 0) names_[fd] = Base(path);
    return fd;
  }
  bool Write(int fd, std::string_view bytes) override {
    Note("write " + names_[fd]);
    written_ += bytes.size();
    if (Fails("write")) return false;
    // A failing write may leave part of its bytes behind.
    return StateFileSystem::Write(fd, bytes);
  }
  bool Sync(int fd) override {
    Note("sync " + names_[fd]);
    return !Fails("sync") && StateFileSystem::Sync(fd);
  }
  bool DataSync(int fd) override {
    Note("datasync " + names_[fd]);
    return !Fails("datasync") && StateFileSystem::DataSync(fd);
  }
  bool Rename(const std::string& from, const std::string& to) override {
    Note("rename " + Base(from) + " " + Base(to));
    return !Fails("rename " + Base(from)) && StateFileSystem::Rename(from, to);
  }
  bool SyncDirectory(const std::string& dir) override {
    Note("syncdir " + Base(dir));
    return !Fails("syncdir") && StateFileSystem::SyncDirectory(dir);
  }

  void FailNext(const std::string& op) { failing_ = op; }
  std::vector<std::string> Take() {
    written_ = 0;
    return std::exchange(ops_, {});
  }
  size_t written() const { return written_; }

 private:
  static std::string Base(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
  }
  void Note(const std::string& op) { ops_.push_back(op); }
  bool Fails(const std::string& op) {
    if (failing_ != op) return false;
    failing_.clear();
    errno = ENOSPC;
    return true;
  }

  std::map<int, std::string> names_;
  std::vector<std::string> ops_;
  std::string failing_;
  size_t written_ = 0;
};

// Where op stands in ops (ops.size() when missing).
size_t At(const std::vector<std::string>& ops, const std::string& op) {
  return static_cast<size_t>(std::find(ops.begin(), ops.end(), op) - ops.begin());
}

MirrorEntry FileEntry(const std::string& name, uint32_t version) {
  MirrorEntry entry;
  entry.name = name;
  entry.version = version;
  entry.size = version * 10;
  entry.parentRef = 1;
  return entry;
}

// What a fresh StateFile loads from the directory.
MirrorState Reload(const std::string& dir) {
  MirrorState state;
  std::string error;
  StateFile file(dir);
  EXPECT_TRUE(file.Load(&state, &error)) << error;
  return state;
}

TEST(StateFileTest, SnapshotsAreSyncedBeforeTheirRenameAndTheDirectoryAfter) {
  TempDir dir;
  SpyFiles spy;
  StateFile file(dir.path(), spy);
  MirrorState state = SampleState();
  std::string error;
  ASSERT_TRUE(file.Save(state, &error)) << error;  // a fresh mirror: a snapshot
  std::vector<std::string> ops = spy.Take();
  size_t rename = At(ops, "rename state.tmp state");
  ASSERT_LT(rename, ops.size()) << ::testing::PrintToString(ops);
  EXPECT_LT(At(ops, "write state.tmp"), At(ops, "sync state.tmp"));
  EXPECT_LT(At(ops, "sync state.tmp"), rename);
  EXPECT_GT(At(ops, "syncdir .dirsync"), rename);
  EXPECT_LT(At(ops, "syncdir .dirsync"), ops.size());
  // The empty log behind it the same way.
  size_t logRename = At(ops, "rename state.log.tmp state.log");
  ASSERT_LT(logRename, ops.size()) << ::testing::PrintToString(ops);
  EXPECT_LT(At(ops, "sync state.log.tmp"), logRename);
  EXPECT_EQ(ops.back(), "syncdir .dirsync");
  EXPECT_EQ(Reload(dir.path()).entries(), state.entries());

  // A change costs one append, synced before Save returns, of about one
  // line, however many entries the state holds.
  for (uint64_t ref = 100; ref < 1100; ++ref) state.Put(ref, FileEntry("bulk", 1));
  ASSERT_TRUE(file.Save(state, &error)) << error;
  spy.Take();
  state.Edit(100)->version = 7;
  state.Erase(101);
  state.position += 66;
  ASSERT_TRUE(file.Save(state, &error)) << error;
  EXPECT_LT(spy.written(), 200u);
  ops = spy.Take();
  EXPECT_EQ(ops, (std::vector<std::string>{"write state.log", "datasync state.log"}));
  // Nothing changed: nothing written.
  ASSERT_TRUE(file.Save(state, &error)) << error;
  EXPECT_TRUE(spy.Take().empty());

  MirrorState loaded = Reload(dir.path());
  EXPECT_EQ(loaded.entries(), state.entries());
  EXPECT_EQ(loaded.position, state.position);
  EXPECT_EQ(loaded.Find(100)->version, 7u);
  EXPECT_EQ(loaded.Find(101), nullptr);
}

TEST(StateFileTest, FailedSavesLoseNothingAndTornTailsAreDropped) {
  TempDir dir;
  SpyFiles spy;
  StateFile file(dir.path(), spy);
  MirrorState state = SampleState();
  std::string error;
  ASSERT_TRUE(file.Save(state, &error)) << error;
  const int64_t savedPosition = state.position;

  // The disk fills during an append, then during its sync: each save
  // fails, the file keeps the last saved state, and the change is
  // written by the next save that works.
  state.Put(50, FileEntry("new.txt", 1));
  state.position += 100;
  for (const char* op : {"write", "datasync"}) {
    spy.FailNext(op);
    EXPECT_FALSE(file.Save(state, &error)) << op;
    MirrorState onDisk = Reload(dir.path());
    EXPECT_EQ(onDisk.Find(50), nullptr) << op;
    EXPECT_EQ(onDisk.position, savedPosition) << op;
  }
  ASSERT_TRUE(file.Save(state, &error)) << error;
  EXPECT_EQ(Reload(dir.path()).entries(), state.entries());

  // A crash in the middle of an append leaves a torn group; one with a
  // damaged sum counts as torn too. Both are dropped, and appends go on
  // behind the sound part.
  std::string log = StateFile::LogPathFor(dir.path());
  std::string sound = ReadText(log);
  WriteText(log, sound + "f 60 1 10 0 0 torn 1\n");
  EXPECT_EQ(Reload(dir.path()).Find(60), nullptr);
  WriteText(log, sound + "f 60 1 10 0 0 torn 1\ncommit 5 12345\n");
  EXPECT_EQ(Reload(dir.path()).Find(60), nullptr);
  EXPECT_EQ(Reload(dir.path()).position, state.position);
  MirrorState again;
  StateFile next(dir.path());
  ASSERT_TRUE(next.Load(&again, &error)) << error;
  again.Put(61, FileEntry("after.txt", 2));
  ASSERT_TRUE(next.Save(again, &error)) << error;
  MirrorState loaded = Reload(dir.path());
  EXPECT_EQ(loaded.Find(60), nullptr);
  ASSERT_NE(loaded.Find(61), nullptr);
  EXPECT_EQ(loaded.entries().size(), state.entries().size() + 1);
}

TEST(StateFileTest, CrashBetweenSnapshotAndNewLogKeepsTheSnapshot) {
  TempDir dir;
  SpyFiles spy;
  StateFile file(dir.path(), spy);
  MirrorState state = SampleState();
  std::string error;
  ASSERT_TRUE(file.Save(state, &error)) << error;
  state.Put(70, FileEntry("in the old log.txt", 1));
  ASSERT_TRUE(file.Save(state, &error)) << error;

  // A new snapshot without entry 70 stands, but the new log never does:
  // the old log (which would bring 70 back) belongs to the older snapshot
  // and is passed over.
  state.Erase(70);
  spy.FailNext("rename state.log.tmp");
  EXPECT_FALSE(file.WriteSnapshot(state, &error));
  MirrorState loaded = Reload(dir.path());
  EXPECT_EQ(loaded.Find(70), nullptr);
  EXPECT_EQ(loaded.entries(), state.entries());
  // The next save starts over with a snapshot and a log that belong
  // together.
  state.Put(71, FileEntry("later.txt", 1));
  ASSERT_TRUE(file.Save(state, &error)) << error;
  EXPECT_EQ(Reload(dir.path()).entries(), state.entries());
}

}  // namespace
}  // namespace dsclient_tool
