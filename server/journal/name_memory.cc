#include "journal/name_memory.h"

namespace dirsync {

NameMemory::NameMemory(size_t generationSize)
    : generationSize_(generationSize == 0 ? 1 : generationSize) {}

void NameMemory::Remember(uint64_t ref, uint64_t parentRef,
                          std::string_view name) {
  auto it = young_.find(ref);
  if (it != young_.end()) {
    it->second.parentRef = parentRef;
    it->second.name.assign(name);
    return;
  }
  if (young_.size() >= generationSize_) {
    old_ = std::move(young_);
    young_ = {};
  }
  // A stale place in the old generation must not outlive this one.
  old_.erase(ref);
  young_.emplace(ref, Place{parentRef, std::string(name)});
}

bool NameMemory::Recall(uint64_t ref, uint64_t* parentRef,
                        std::string* name) const {
  auto it = young_.find(ref);
  if (it == young_.end()) {
    it = old_.find(ref);
    if (it == old_.end()) return false;
  }
  *parentRef = it->second.parentRef;
  *name = it->second.name;
  return true;
}

void NameMemory::Forget(uint64_t ref) {
  young_.erase(ref);
  old_.erase(ref);
}

}  // namespace dirsync
