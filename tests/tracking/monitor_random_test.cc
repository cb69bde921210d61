// A seeded random check of the whole journal path: thousands of random
// changes to a tree while the monitor runs, then the catalog as the store
// describes it (the last record of every live entry) must equal a fresh
// walk of the tree: the same paths, sizes and modification times.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "catalog/catalog_record.h"
#include "tracking/monitor_test_util.h"
#include "journal/volume_journal.h"

namespace dirsync {
namespace {

using testing::RunWriter;

constexpr int kOperations = 2000;

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The tree as the writer leaves it. Paths are "R/..." (the task's root),
// "O/..." (in the volume, outside the root) and "X/..." (outside the
// volume); sibling names never differ in letter case only, as on NTFS.
class TreeModel {
 public:
  TreeModel(uint32_t seed, std::map<std::string, std::string> bases)
      : rng_(seed), bases_(std::move(bases)) {
    for (const auto& [area, path] : bases_) dirs_.insert(area);
  }

  std::vector<std::string> Script(int operations) {
    std::vector<std::string> script;
    for (int i = 0; i < operations; ++i) {
      // Now and then a pause, so that batches are applied while the
      // writer goes on.
      if (Chance(1, 150)) script.push_back("sleepms 30");
      script.push_back(Step());
    }
    return script;
  }

  // Initial contents, created before the monitor starts.
  std::vector<std::string> Seed() {
    std::vector<std::string> script;
    for (int i = 0; i < 30; ++i) script.push_back(Chance(1, 3) ? MakeDir("R") : Create("R"));
    for (int i = 0; i < 10; ++i) script.push_back(Chance(1, 3) ? MakeDir("O") : Create("O"));
    for (int i = 0; i < 10; ++i) script.push_back(Chance(1, 3) ? MakeDir("X") : Create("X"));
    return script;
  }

 private:
  bool Chance(int in, int of) { return std::uniform_int_distribution<int>(1, of)(rng_) <= in; }
  int Number(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

  std::string Absolute(const std::string& path) const {
    size_t slash = path.find('/');
    std::string area = path.substr(0, slash);
    return bases_.at(area) + (slash == std::string::npos ? "" : path.substr(slash));
  }
  static std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }
  static std::string Name(const std::string& path) { return path.substr(path.rfind('/') + 1); }
  static bool Below(const std::string& path, const std::string& dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           path[dir.size()] == '/';
  }

  std::vector<std::string> DirsIn(const std::string& area) const {
    std::vector<std::string> out;
    for (const std::string& d : dirs_) {
      if (d == area || Below(d, area)) out.push_back(d);
    }
    return out;
  }
  std::vector<std::string> FilesIn(const std::string& area) const {
    std::vector<std::string> out;
    for (const auto& [f, size] : files_) {
      if (Below(f, area)) out.push_back(f);
    }
    return out;
  }
  template <typename T>
  const T& Pick(const std::vector<T>& from) {
    return from[static_cast<size_t>(Number(0, static_cast<int>(from.size()) - 1))];
  }

  bool Taken(const std::string& dir, const std::string& name) const {
    for (const std::string& d : dirs_) {
      if (Parent(d) == dir && d != dir && EqualIgnoringCase(Name(d), name)) return true;
    }
    for (const auto& [f, size] : files_) {
      if (Parent(f) == dir && EqualIgnoringCase(Name(f), name)) return true;
    }
    return false;
  }
  std::string FreeName(const std::string& dir, const char* prefix) {
    while (true) {
      std::string name = prefix + std::to_string(Number(0, 60));
      if (Chance(1, 4)) name[0] = static_cast<char>(std::toupper(name[0]));
      if (!Taken(dir, name)) return name;
    }
  }

  std::string Create(const std::string& area) {
    std::string dir = Pick(DirsIn(area));
    std::string path = dir + "/" + FreeName(dir, "f");
    int size = Number(0, 300);
    files_[path] = size;
    return "write " + Absolute(path) + " " + std::to_string(size);
  }
  std::string MakeDir(const std::string& area) {
    std::string dir = Pick(DirsIn(area));
    std::string path = dir + "/" + FreeName(dir, "d");
    dirs_.insert(path);
    return "mkdir " + Absolute(path);
  }
  // Moves a file or a directory (with everything below it) to to.
  std::string Move(const std::string& from, const std::string& to) {
    std::string line = "rename " + Absolute(from) + " " + Absolute(to);
    auto file = files_.find(from);
    if (file != files_.end()) {
      int size = file->second;
      files_.erase(file);
      files_[to] = size;
      return line;
    }
    std::set<std::string> dirs;
    for (const std::string& d : dirs_) {
      dirs.insert(d == from ? to : Below(d, from) ? to + d.substr(from.size()) : d);
    }
    dirs_ = std::move(dirs);
    std::map<std::string, int> files;
    for (const auto& [f, size] : files_) {
      files[Below(f, from) ? to + f.substr(from.size()) : f] = size;
    }
    files_ = std::move(files);
    return line;
  }
  // A directory of area that may move to target's directory.
  bool CanMoveInto(const std::string& dir, const std::string& target) const {
    return target != dir && !Below(target, dir);
  }

  std::string Step() {
    std::vector<std::string> rootFiles = FilesIn("R");
    std::vector<std::string> rootDirs = DirsIn("R");
    std::vector<std::string> movableDirs(rootDirs.begin(), rootDirs.end());
    movableDirs.erase(std::remove(movableDirs.begin(), movableDirs.end(), "R"),
                      movableDirs.end());
    switch (Number(0, 12)) {
      case 0:
      case 1:
        return Create("R");
      case 2:
        if (rootFiles.empty()) return Create("R");
        {
          std::string f = Pick(rootFiles);
          int size = Number(0, 300);
          bool append = Chance(1, 2);
          files_[f] = append ? files_[f] + size : size;
          return (append ? "append " : "write ") + Absolute(f) + " " + std::to_string(size);
        }
      case 3:  // rename in place, sometimes in letter case only
        if (rootFiles.empty()) return Create("R");
        {
          std::string f = Pick(rootFiles);
          std::string name = Name(f);
          if (Chance(1, 3)) {
            name[0] = static_cast<char>(std::isupper(name[0]) ? std::tolower(name[0])
                                                              : std::toupper(name[0]));
          } else {
            name = FreeName(Parent(f), "f");
          }
          return Move(f, Parent(f) + "/" + name);
        }
      case 4:  // move to another directory of the root
        if (rootFiles.empty()) return Create("R");
        {
          std::string f = Pick(rootFiles);
          std::string dir = Pick(rootDirs);
          return Move(f, dir + "/" + FreeName(dir, "f"));
        }
      case 5:
        if (rootFiles.empty()) return Create("R");
        {
          std::string f = Pick(rootFiles);
          files_.erase(f);
          return "unlink " + Absolute(f);
        }
      case 6:
        return MakeDir("R");
      case 7: {  // remove an empty directory
        for (const std::string& d : movableDirs) {
          if (!Taken(d, "") && FilesIn(d).empty() && DirsIn(d).size() == 1) {
            dirs_.erase(d);
            return "rmdir " + Absolute(d);
          }
        }
        return MakeDir("R");
      }
      case 8: {  // a directory renamed or moved within the root
        if (movableDirs.empty()) return MakeDir("R");
        std::string d = Pick(movableDirs);
        std::string target = Pick(rootDirs);
        if (!CanMoveInto(d, target)) return MakeDir("R");
        return Move(d, target + "/" + FreeName(target, "d"));
      }
      case 9: {  // out of the root, into the volume or out of it
        std::string area = Chance(1, 2) ? "O" : "X";
        std::string target = Pick(DirsIn(area));
        if (!movableDirs.empty() && Chance(1, 3)) {
          std::string d = Pick(movableDirs);
          return Move(d, target + "/" + FreeName(target, "d"));
        }
        if (rootFiles.empty()) return Create("R");
        return Move(Pick(rootFiles), target + "/" + FreeName(target, "f"));
      }
      case 10: {  // into the root from either place outside it
        std::string area = Chance(1, 2) ? "O" : "X";
        std::vector<std::string> files = FilesIn(area);
        std::vector<std::string> dirs = DirsIn(area);
        dirs.erase(std::remove(dirs.begin(), dirs.end(), area), dirs.end());
        std::string target = Pick(rootDirs);
        if (!dirs.empty() && Chance(1, 2)) {
          return Move(Pick(dirs), target + "/" + FreeName(target, "d"));
        }
        if (files.empty()) return Create(area);
        return Move(Pick(files), target + "/" + FreeName(target, "f"));
      }
      case 11: {  // a rename over another file
        if (rootFiles.size() < 2) return Create("R");
        std::string from = Pick(rootFiles);
        std::string over = Pick(rootFiles);
        if (from == over) return Create("R");
        files_.erase(over);
        return Move(from, over);
      }
      default:
        return Chance(1, 2) ? Create("O") : MakeDir("X");
    }
  }

  std::mt19937 rng_;
  std::map<std::string, std::string> bases_;
  std::set<std::string> dirs_;
  std::map<std::string, int> files_;
};

// path -> "size mtime" for files, "dir" for directories.
using Listing = std::map<std::string, std::string>;

Listing WalkTree(const std::string& root) {
  Listing listing;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    std::string rel = item.path().string().substr(root.size() + 1);
    std::replace(rel.begin(), rel.end(), '/', '\\');
    struct statx st;
    if (::statx(AT_FDCWD, item.path().c_str(), AT_SYMLINK_NOFOLLOW,
                STATX_TYPE | STATX_SIZE | STATX_MTIME, &st) != 0) {
      continue;
    }
    if (S_ISDIR(st.stx_mode)) {
      listing[rel] = "dir";
    } else {
      listing[rel] = std::to_string(st.stx_size) + " " +
                     std::to_string(ToFileTime({st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec}));
    }
  }
  return listing;
}

Listing CatalogOfStore(SyncTask* task) {
  Listing listing;
  for (const auto& [ref, r] : testing::LastRecords(task)) {
    if (r.state() == StateDirectory) {
      listing[r.name()] = "dir";
    } else if (IsLiveFileState(r.state())) {
      listing[r.name()] =
          std::to_string(r.fileSize()) + " " + std::to_string(r.lastWriteTime());
    }
  }
  return listing;
}

class MonitorRandomTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(MonitorRandomTest, CatalogMatchesTheTreeAfterRandomChanges) {
  std::string why = testing::JournalUnavailableReason();
  if (!why.empty()) GTEST_SKIP() << why;
  testing::MonitoredVolumes env;
  std::string volume = env.tree() / "vol";
  std::string root = volume + "/Root";
  std::string out = volume + "/Out";
  std::string outside = env.tree() / "outside";
  for (const std::string& d : {volume, root, out, outside}) {
    ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
  }
  TreeModel model(GetParam(), {{"R", root}, {"O", out}, {"X", outside}});
  ASSERT_EQ(RunWriter(model.Seed()), 0);

  env.AddVolume('J', volume, 20);
  SyncTask* task = env.AddTask("random", "J:\\Root");
  ASSERT_TRUE(env.Start());
  ASSERT_EQ(RunWriter(model.Script(kOperations)), 0);
  ASSERT_TRUE(env.Settle(task, root));

  Listing tree = WalkTree(root);
  Listing catalog = CatalogOfStore(task);
  for (const auto& [path, what] : tree) {
    auto it = catalog.find(path);
    EXPECT_TRUE(it != catalog.end() && it->second == what)
        << "tree has " << path << " (" << what << "), catalog "
        << (it == catalog.end() ? std::string("lacks it") : it->second);
  }
  for (const auto& [path, what] : catalog) {
    EXPECT_TRUE(tree.count(path)) << "catalog has " << path << " (" << what
                                  << "), the tree does not";
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, MonitorRandomTest,
                         ::testing::Values(1u, 2u, 3u, 4u, 5u));

}  // namespace
}  // namespace dirsync
