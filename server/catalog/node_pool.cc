#include "catalog/node_pool.h"

#include <cstring>

namespace dirsync {

NodePool::NodePool(size_t blockSize, size_t alignment) {
  if (blockSize < sizeof(void*)) blockSize = sizeof(void*);
  blockSize_ = (blockSize + alignment - 1) & ~(alignment - 1);
}

void* NodePool::Allocate() {
  ++live_;
  if (freeList_ != nullptr) {
    void* block = freeList_;
    std::memcpy(&freeList_, block, sizeof freeList_);
    return block;
  }
  if (slabUsed_ + blockSize_ > kSlabBytes) {
    // new[] of unsigned char is aligned for any fundamental type.
    slabs_.emplace_back(new unsigned char[kSlabBytes]);
    slabUsed_ = 0;
  }
  void* block = slabs_.back().get() + slabUsed_;
  slabUsed_ += blockSize_;
  return block;
}

void NodePool::Free(void* block) {
  if (--live_ == 0) {
    // The map is empty: its memory goes back rather than waiting for the
    // map to fill up again.
    slabs_.clear();
    freeList_ = nullptr;
    slabUsed_ = kSlabBytes;
    return;
  }
  std::memcpy(block, &freeList_, sizeof freeList_);
  freeList_ = block;
}

}  // namespace dirsync
