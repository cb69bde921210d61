// The table of live connections: connection id -> handler.
//
// A chained hash table of 30001 buckets keyed by the id itself, so lookups
// stay short for tens of thousands of connections without ever rehashing.
// Lookups share a reader-writer lock, so sends on different connections
// from different threads do not serialise; adding and removing take it
// exclusively. The table holds a reference to each handler it lists, and a
// lookup hands the caller a reference of its own: the handler stays alive
// for as long as the caller keeps it, whatever closes meanwhile. No
// reference is let go while the lock is held.
#ifndef LINKCORE_NET_CONNECTION_TABLE_H_
#define LINKCORE_NET_CONNECTION_TABLE_H_

#include <stdint.h>

#include <atomic>
#include <memory>
#include <vector>

#include <ace/Functor.h>
#include <ace/Hash_Map_Manager_T.h>
#include <ace/Null_Mutex.h>
#include <ace/RW_Thread_Mutex.h>

namespace linkcore {

class KRL_NetHandler;

class ConnectionTable {
 public:
  static constexpr size_t kBuckets = 30001;

  ConnectionTable();
  ConnectionTable(const ConnectionTable&) = delete;
  ConnectionTable& operator=(const ConnectionTable&) = delete;

  // The handler of id, or null. Thread safe (shared lock).
  std::shared_ptr<KRL_NetHandler> find(uint32_t id);
  // Inserts the pair; false (nothing changes) when id is already present
  // or memory is short. Thread safe (exclusive lock).
  bool add(uint32_t id, const std::shared_ptr<KRL_NetHandler>& handler);
  // Takes the pair out; nothing happens when id is absent. Thread safe.
  void remove(uint32_t id);
  // Every live handler at one moment. Thread safe (shared lock).
  std::vector<std::shared_ptr<KRL_NetHandler>> snapshot();
  // Number of live connections, read without the lock (status text).
  int size() const { return count_.load(std::memory_order_relaxed); }

 private:
  using Map = ACE_Hash_Map_Manager_Ex<uint32_t,
                                      std::shared_ptr<KRL_NetHandler>,
                                      ACE_Hash<uint32_t>,
                                      ACE_Equal_To<uint32_t>, ACE_Null_Mutex>;

  ACE_RW_Thread_Mutex lock_;  // guards map_
  Map map_;
  std::atomic<int> count_{0};  // mirrors map_'s size for lock-free reads
};

}  // namespace linkcore

#endif  // LINKCORE_NET_CONNECTION_TABLE_H_
