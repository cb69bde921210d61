#include "mirror_state.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "record_applier.h"
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
  state.Put(0xffffffffffffffffULL, file);
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
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 9);
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

}  // namespace
}  // namespace dsclient_tool
