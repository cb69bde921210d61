#include "catalog/record_blocks.h"

#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

#if defined(__SANITIZE_ADDRESS__)
#define DIRSYNC_RECORD_BLOCKS_UNPOOLED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DIRSYNC_RECORD_BLOCKS_UNPOOLED 1
#endif
#endif

namespace dirsync {
namespace {

#ifndef DIRSYNC_RECORD_BLOCKS_UNPOOLED

constexpr size_t kSlabBytes = 64 * 1024;
constexpr size_t kGranule = 8;
constexpr size_t kClassCount = kLargestPooledBlock / kGranule + 1;

class RecordBlockPool {
 public:
  uint8_t* Allocate(size_t size) {
    if (size < kGranule) size = kGranule;  // room for the free list's link
    const size_t index = (size + kGranule - 1) / kGranule;
    const size_t blockSize = index * kGranule;
    MutexLock lock(&mu_);
    SizeClass& c = classes_[index];
    void* block = c.freeList;
    if (block != nullptr) {
      std::memcpy(&c.freeList, block, sizeof c.freeList);
    } else {
      if (c.slabs.empty() || c.slabUsed + blockSize > kSlabBytes) {
        std::unique_ptr<unsigned char[]> slab(new unsigned char[kSlabBytes]);
        slabClass_.emplace(reinterpret_cast<uintptr_t>(slab.get()), index);
        c.slabs.push_back(std::move(slab));
        c.slabUsed = 0;
      }
      block = c.slabs.back().get() + c.slabUsed;
      c.slabUsed += blockSize;
    }
    ++c.live;
    return static_cast<uint8_t*>(block);
  }

  // Returns false when block lies in no slab (it came from new[]).
  bool Free(uint8_t* block) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(block);
    MutexLock lock(&mu_);
    auto it = slabClass_.upper_bound(at);
    if (it == slabClass_.begin()) return false;
    --it;
    if (at - it->first >= kSlabBytes) return false;
    SizeClass& c = classes_[it->second];
    if (--c.live == 0) {
      // The class is empty: its memory goes back rather than waiting for
      // blocks of its size to be wanted again.
      for (const std::unique_ptr<unsigned char[]>& slab : c.slabs) {
        slabClass_.erase(reinterpret_cast<uintptr_t>(slab.get()));
      }
      c.slabs.clear();
      c.freeList = nullptr;
      c.slabUsed = 0;
      return true;
    }
    std::memcpy(block, &c.freeList, sizeof c.freeList);
    c.freeList = block;
    return true;
  }

  size_t SlabBytes() {
    MutexLock lock(&mu_);
    return slabClass_.size() * kSlabBytes;
  }

 private:
  struct SizeClass {
    std::vector<std::unique_ptr<unsigned char[]>> slabs;
    void* freeList = nullptr;  // each free block holds the next's address
    size_t slabUsed = 0;       // bytes handed out of the newest slab
    size_t live = 0;
  };

  // Guards the size classes and the slab index.
  Mutex mu_;
  SizeClass classes_[kClassCount] GUARDED_BY(mu_);
  // First address of every slab -> its size class, to find a freed block's.
  std::map<uintptr_t, size_t> slabClass_ GUARDED_BY(mu_);
};

// Never destroyed: records may be freed by destructors that run at exit.
RecordBlockPool& Pool() {
  static RecordBlockPool* pool = new RecordBlockPool;
  return *pool;
}

#endif  // DIRSYNC_RECORD_BLOCKS_UNPOOLED

}  // namespace

uint8_t* AllocateRecordBlock(size_t size) {
#ifndef DIRSYNC_RECORD_BLOCKS_UNPOOLED
  if (size <= kLargestPooledBlock) {
    uint8_t* block = Pool().Allocate(size);
    std::memset(block, 0, size);
    return block;
  }
#endif
  return new uint8_t[size]();
}

void FreeRecordBlock(uint8_t* block) {
  if (block == nullptr) return;
#ifndef DIRSYNC_RECORD_BLOCKS_UNPOOLED
  if (Pool().Free(block)) return;
#endif
  delete[] block;
}

size_t RecordSlabBytes() {
#ifndef DIRSYNC_RECORD_BLOCKS_UNPOOLED
  return Pool().SlabBytes();
#else
  return 0;
#endif
}

}  // namespace dirsync
