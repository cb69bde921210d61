// An allocator for node-based maps (std::unordered_map) that takes single
// nodes from NodePools of its own and everything else (bucket arrays)
// from operator new. Copies, and rebound copies, share the pools, so one
// map's nodes come from one set of pools; a default-constructed allocator
// makes a new set. The pools follow the map on moves and swaps.
//
// Not thread safe: see NodePool.
#ifndef DIRSYNC_CATALOG_POOL_ALLOCATOR_H_
#define DIRSYNC_CATALOG_POOL_ALLOCATOR_H_

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "catalog/node_pool.h"

namespace dirsync {

// The pools of one map, one per block size asked for (a map asks for one).
class NodePools {
 public:
  NodePool& For(size_t size, size_t alignment) {
    for (const std::unique_ptr<NodePool>& pool : pools_) {
      if (pool->blockSize() == RoundUp(size, alignment)) return *pool;
    }
    pools_.push_back(std::make_unique<NodePool>(size, alignment));
    return *pools_.back();
  }

 private:
  static size_t RoundUp(size_t size, size_t alignment) {
    if (size < sizeof(void*)) size = sizeof(void*);
    return (size + alignment - 1) & ~(alignment - 1);
  }
  std::vector<std::unique_ptr<NodePool>> pools_;
};

template <class T>
class PoolAllocator {
 public:
  using value_type = T;
  using propagate_on_container_copy_assignment = std::true_type;
  using propagate_on_container_move_assignment = std::true_type;
  using propagate_on_container_swap = std::true_type;
  using is_always_equal = std::false_type;

  PoolAllocator() : pools_(std::make_shared<NodePools>()) {}
  template <class U>
  PoolAllocator(const PoolAllocator<U>& other) : pools_(other.pools_) {}  // NOLINT

  T* allocate(size_t n) {
    if (n == 1) return static_cast<T*>(pools_->For(sizeof(T), alignof(T)).Allocate());
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, size_t n) {
    if (n == 1) {
      pools_->For(sizeof(T), alignof(T)).Free(p);
    } else {
      std::allocator<T>().deallocate(p, n);
    }
  }

  template <class U>
  bool operator==(const PoolAllocator<U>& other) const {
    return pools_ == other.pools_;
  }
  template <class U>
  bool operator!=(const PoolAllocator<U>& other) const {
    return pools_ != other.pools_;
  }

 private:
  template <class U>
  friend class PoolAllocator;
  std::shared_ptr<NodePools> pools_;
};

}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_POOL_ALLOCATOR_H_
