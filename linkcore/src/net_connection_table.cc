#include "net_connection_table.h"

#include <ace/Guard_T.h>

namespace linkcore {

ConnectionTable::ConnectionTable() : map_(kBuckets) {}

std::shared_ptr<KRL_NetHandler> ConnectionTable::find(uint32_t id) {
  std::shared_ptr<KRL_NetHandler> handler;
  ACE_READ_GUARD_RETURN(ACE_RW_Thread_Mutex, guard, lock_, nullptr);
  map_.find(id, handler);  // leaves handler null when id is absent
  return handler;
}

bool ConnectionTable::add(uint32_t id,
                          const std::shared_ptr<KRL_NetHandler>& handler) {
  ACE_WRITE_GUARD_RETURN(ACE_RW_Thread_Mutex, guard, lock_, false);
  if (map_.bind(id, handler) != 0) return false;  // 1: present, -1: no memory
  count_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void ConnectionTable::remove(uint32_t id) {
  std::shared_ptr<KRL_NetHandler> removed;  // let go after the lock
  ACE_WRITE_GUARD(ACE_RW_Thread_Mutex, guard, lock_);
  if (map_.unbind(id, removed) == 0) {
    count_.fetch_sub(1, std::memory_order_relaxed);
  }
}

std::vector<std::shared_ptr<KRL_NetHandler>> ConnectionTable::snapshot() {
  std::vector<std::shared_ptr<KRL_NetHandler>> handlers;
  ACE_READ_GUARD_RETURN(ACE_RW_Thread_Mutex, guard, lock_, handlers);
  handlers.reserve(map_.current_size());
  for (Map::ITERATOR it = map_.begin(); it != map_.end(); ++it) {
    handlers.push_back((*it).int_id_);
  }
  return handlers;
}

}  // namespace linkcore
