// The (parent directory, name) under which the journal layer last saw each
// file reference, in bounded memory.
//
// A file's path is formed from its parent directory and its name (a file
// handle alone may resolve to no path at all when its dentry is not
// cached). Two generations of at most `generationSize` entries each: new
// entries enter the young one; when it is full it becomes the old one and
// the former old one is dropped. A lookup tries young, then old. So the
// most recent 1..2 x generationSize references are always remembered and
// memory never grows past 2 x generationSize entries. Not thread safe: the resolver guards it.
#ifndef DIRSYNC_JOURNAL_NAME_MEMORY_H_
#define DIRSYNC_JOURNAL_NAME_MEMORY_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace dirsync {

class NameMemory {
 public:
  explicit NameMemory(size_t generationSize = 65536);

  void Remember(uint64_t ref, uint64_t parentRef, std::string_view name);
  // False when ref is not remembered.
  bool Recall(uint64_t ref, uint64_t* parentRef, std::string* name) const;
  // Forgets ref (in both generations).
  void Forget(uint64_t ref);

  size_t size() const { return young_.size() + old_.size(); }

 private:
  struct Place {
    uint64_t parentRef;
    std::string name;
  };
  size_t generationSize_;
  std::unordered_map<uint64_t, Place> young_;
  std::unordered_map<uint64_t, Place> old_;
};

}  // namespace dirsync

#endif  // DIRSYNC_JOURNAL_NAME_MEMORY_H_
