// Memory for the nodes of one map: blocks of one size carved from 64 KiB
// slabs and kept on a free list once freed. A node costs its own size
// (24 bytes for a catalog entry's) where the C library would add a header
// and round it up to 16 bytes (32). The slabs go back to the system when
// the last node is freed or the pool is destroyed.
//
// Not thread safe: the nodes of a map are allocated and freed only by
// changes of that map, which its owner serializes (a task's catalogLock).
#ifndef DIRSYNC_CATALOG_NODE_POOL_H_
#define DIRSYNC_CATALOG_NODE_POOL_H_

#include <cstddef>
#include <memory>
#include <vector>

namespace dirsync {

class NodePool {
 public:
  // blockSize: the size of every block, at least a pointer's; rounded up
  // to alignment, a power of two of at most alignof(max_align_t).
  NodePool(size_t blockSize, size_t alignment);
  NodePool(const NodePool&) = delete;
  NodePool& operator=(const NodePool&) = delete;

  size_t blockSize() const { return blockSize_; }
  // A block of blockSize bytes; throws std::bad_alloc as operator new does.
  void* Allocate();
  void Free(void* block);

 private:
  static constexpr size_t kSlabBytes = 64 * 1024;

  size_t blockSize_;
  std::vector<std::unique_ptr<unsigned char[]>> slabs_;
  void* freeList_ = nullptr;  // each free block holds the next's address
  size_t slabUsed_ = kSlabBytes;  // bytes handed out of the newest slab
  size_t live_ = 0;
};

}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_NODE_POOL_H_
