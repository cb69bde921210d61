// mirror_bench [ENTRIES]: what the command-line client's bookkeeping costs
// for a mirror of ENTRIES files (default 1,000,000): saving and loading its
// state file (written after every block of records and every few seconds
// of downloads), and applying records that need no download (renames of
// held files and directory records) to a real directory.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "local_tree.h"
#include "mirror_state.h"
#include "record_applier.h"
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
  if (!state.Save(dir, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  double save = Seconds(start);
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
  std::filesystem::remove_all(dir);
  return 0;
}
