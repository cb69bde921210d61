// mirror_bench [ENTRIES]: what the command-line client's bookkeeping costs
// for a mirror of ENTRIES files (default 1,000,000): writing and loading a
// whole snapshot of its state, saving one changed entry (an append to the
// change log, what every save of a small change costs), applying records
// that need no download (renames of held files and directory records) to
// a real directory, and removing a tree of 20,000 entries held beside the
// others, timed against applying its creation.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "local_tree.h"
#include "mirror_state.h"
#include "record_applier.h"
#include "state_file.h"
#include "store_record.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace dsclient_tool;
  const uint64_t entries = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  char pattern[] = "/tmp/dirsync-mirror-bench-XXXXXX";
  std::string dir = ::mkdtemp(pattern);

  MirrorState state;
  state.Reset(1);
  for (uint64_t i = 0; i < entries; ++i) {
    MirrorEntry e;
    e.name = "dir" + std::to_string(i % 1000) + "\\file number " + std::to_string(i) + ".txt";
    e.version = 3;
    e.size = i * 13;
    e.lastWriteTime = 134411202528712595ULL + i;
    state.Put(i + 1000000, e);
  }
  std::string error;
  auto start = Clock::now();
  StateFile file(dir);
  if (!file.WriteSnapshot(state, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  double save = Seconds(start);
  // One entry changed, saved: an append to the change log and its sync.
  constexpr int kSmallSaves = 50;
  start = Clock::now();
  for (int i = 0; i < kSmallSaves; ++i) {
    state.Edit(1000000 + static_cast<uint64_t>(i))->version = 4;
    state.position += 100;
    if (!file.Save(state, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
  }
  double smallSave = Seconds(start) / kSmallSaves;
  auto bytes = std::filesystem::file_size(MirrorState::PathFor(dir));
  MirrorState loaded;
  start = Clock::now();
  if (!loaded.Load(dir, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  double load = Seconds(start);
  std::printf("state of %llu entries: %.1f MiB, save %.3f s, load %.3f s\n",
              static_cast<unsigned long long>(entries), bytes / 1048576.0, save, load);
  std::printf("one changed entry saved: %.3f ms (change log append and fdatasync)\n",
              smallSave * 1000);

  // Applying: 1,000 directories, then a rename of every held file whose
  // local copy exists (a move on disk, no download).
  const uint64_t files = std::min<uint64_t>(entries, 100000);
  MirrorState applied;
  applied.Reset(1);
  LocalTree tree(dir + "/tree");
  std::filesystem::create_directories(dir + "/tree");
  RecordApplier applier(tree, applied);
  dsclient::StoreRecord r;
  start = Clock::now();
  for (uint64_t d = 0; d < 1000; ++d) {
    r.fileRef = d + 1;
    r.state = 6;
    r.name = "dir" + std::to_string(d);
    applier.Apply(r);
  }
  for (uint64_t i = 0; i < files; ++i) {
    r.fileRef = 1000000 + i;
    r.state = 1;
    r.name = "dir" + std::to_string(i % 1000) + "\\f" + std::to_string(i);
    applier.Apply(r);
    std::FILE* f = std::fopen(tree.Full("dir" + std::to_string(i % 1000) + "/f" + std::to_string(i)).c_str(), "w");
    if (f != nullptr) std::fclose(f);
    applier.MarkDownloaded(r.fileRef);
  }
  double adds = Seconds(start);
  start = Clock::now();
  for (uint64_t i = 0; i < files; ++i) {
    r.fileRef = 1000000 + i;
    r.state = 3;
    r.version = 2;
    r.name = "dir" + std::to_string((i + 1) % 1000) + "\\g" + std::to_string(i);
    applier.Apply(r);
  }
  double renames = Seconds(start);
  std::printf("apply: %llu adds (with an empty file each) %.0f/s, %llu renames %.0f/s\n",
              static_cast<unsigned long long>(files), files / adds,
              static_cast<unsigned long long>(files), files / renames);

  // A tree of 200 directories of 99 files (20,000 entries with its top)
  // arrives beside what is held, then its top directory is deleted.
  constexpr uint64_t kTreeDirs = 200, kTreeFiles = 99, kTop = 5000000;
  start = Clock::now();
  r = dsclient::StoreRecord();
  r.fileRef = kTop;
  r.state = 6;
  r.name = "churn";
  applier.Apply(r);
  for (uint64_t d = 0; d < kTreeDirs; ++d) {
    r.fileRef = kTop + 1 + d * (kTreeFiles + 1);
    r.parentRef = kTop;
    r.state = 6;
    r.name = "churn\\s" + std::to_string(d);
    applier.Apply(r);
    const uint64_t dirRef = r.fileRef;
    for (uint64_t f = 0; f < kTreeFiles; ++f) {
      r.fileRef = dirRef + 1 + f;
      r.parentRef = dirRef;
      r.state = 1;
      r.name = "churn\\s" + std::to_string(d) + "\\x" + std::to_string(f);
      applier.Apply(r);
      std::FILE* f2 = std::fopen(tree.Full("churn/s" + std::to_string(d) + "/x" + std::to_string(f)).c_str(), "w");
      if (f2 != nullptr) std::fclose(f2);
      applier.MarkDownloaded(r.fileRef);
    }
  }
  double create = Seconds(start);
  start = Clock::now();
  r.fileRef = kTop;
  r.parentRef = 0;
  r.state = 255;
  r.name = "churn";
  applier.Apply(r);
  double removal = Seconds(start);
  bool gone = !std::filesystem::exists(tree.Full("churn"));
  std::printf("tree of %llu entries beside %llu held: created %.3f s, removed %.3f s%s\n",
              static_cast<unsigned long long>(1 + kTreeDirs * (kTreeFiles + 1)),
              static_cast<unsigned long long>(applied.entries().size()), create, removal,
              gone ? "" : " (NOT REMOVED)");
  std::filesystem::remove_all(dir);
  return 0;
}
