// A seeded random writer: changes a tree the way users and programs do,
// one operation per Step(): creates, writes in place, appends, truncates,
// renames and moves of files (replacing a file now and then), deletions,
// and the same for directories, moving them within the root and into and
// out of it through a directory outside the root on the same filesystem.
//
// Sibling names never differ in letter case only (the server matches
// names without regard to case, as on NTFS), but an entry is sometimes
// renamed to another case of its own name. The same seed gives the same
// operations on the same starting tree. Not thread safe.
#ifndef DIRSYNC_TESTS_E2E_RANDOM_WRITER_H_
#define DIRSYNC_TESTS_E2E_RANDOM_WRITER_H_

#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace dirsync::e2e {

class RandomWriter {
 public:
  // root: the followed tree; away: a directory outside it on the same
  // filesystem.
  RandomWriter(std::string root, std::string away, uint32_t seed);

  // Performs one random operation (which may find nothing to do).
  void Step();
  // Creates a file of more than 4 MiB and count files and directories to
  // start from.
  void Populate(int count);
  // A random pause for between operations: mostly short, now and then
  // longer than a quiet period of quietMs.
  int PauseMs(int quietMs);

  uint32_t seed() const { return seed_; }
  int operations() const { return operations_; }
  // The last operations performed, one per line.
  std::string RecentOperations() const;
  // How many operations of each kind were performed ("create 80, ...").
  std::string Summary() const;

 private:
  struct Listing {
    std::vector<std::string> rootDirs;   // the root itself first
    std::vector<std::string> rootFiles;
    std::vector<std::string> awayDirs;   // away itself first
    std::vector<std::string> awayFiles;
  };

  Listing List() const;
  bool Chance(int in, int of);
  int Number(int low, int high);
  const std::string& Pick(const std::vector<std::string>& from);
  // A name not taken in dir (letter case aside).
  std::string FreeName(const std::string& dir, const char* prefix);
  std::string RandomBytes(size_t size);
  size_t RandomSize();
  int Depth(const std::string& path) const;
  void Note(const std::string& what);

  void CreateFile(const std::string& dir);
  void WriteInPlace(const std::string& file);
  void Append(const std::string& file);
  void Truncate(const std::string& file);
  void RenameWithin(const std::string& path);
  void ChangeCase(const std::string& path);
  void MoveTo(const std::string& path, const std::string& dir);
  void ReplaceFile(const std::string& from, const std::string& onto);
  void Delete(const std::string& file);
  void MakeDirectory(const std::string& dir);
  void RemoveDirectory(const std::string& dir);
  void RemoveTree(const std::string& dir);

  std::string root_;
  std::string away_;
  uint32_t seed_;
  std::mt19937 rng_;
  int operations_ = 0;
  std::deque<std::string> recent_;
  std::map<std::string, int> kinds_;
};

}  // namespace dirsync::e2e

#endif  // DIRSYNC_TESTS_E2E_RANDOM_WRITER_H_
