// StoreGrowthListener: told when a task's store has grown, so that clients
// waiting for changes can be answered at once instead of polling.
#ifndef DIRSYNC_CATALOG_STORE_GROWTH_H_
#define DIRSYNC_CATALOG_STORE_GROWTH_H_

namespace dirsync {

class StoreGrowthListener {
 public:
  virtual ~StoreGrowthListener() = default;
  // Called on the store's writer right after its size grew, possibly with
  // the writer's locks held: it must only take a lock of its own that is
  // never held while calling into the catalog, and return at once.
  virtual void StoreGrew() = 0;
};

}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_STORE_GROWTH_H_
