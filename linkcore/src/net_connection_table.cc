#include "net_connection_table.h"

#include <ace/Guard_T.h>

namespace linkcore {

ConnectionTable::ConnectionTable() : map_(kBuckets) {}

KRL_NetHandler* ConnectionTable::find(uint32_t id) {
  ACE_READ_GUARD_RETURN(ACE_RW_Thread_Mutex, guard, lock_, nullptr);
  KRL_NetHandler* handler = nullptr;
  if (map_.find(id, handler) != 0) return nullptr;
  return handler;
}

bool ConnectionTable::add(uint32_t id, KRL_NetHandler* handler) {
  ACE_WRITE_GUARD_RETURN(ACE_RW_Thread_Mutex, guard, lock_, false);
  if (map_.bind(id, handler) != 0) return false;  // 1: present, -1: no memory
  count_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void ConnectionTable::remove(uint32_t id) {
  ACE_WRITE_GUARD(ACE_RW_Thread_Mutex, guard, lock_);
  if (map_.unbind(id) == 0) count_.fetch_sub(1, std::memory_order_relaxed);
}

std::vector<KRL_NetHandler*> ConnectionTable::snapshot() {
  std::vector<KRL_NetHandler*> handlers;
  ACE_READ_GUARD_RETURN(ACE_RW_Thread_Mutex, guard, lock_, handlers);
  handlers.reserve(map_.current_size());
  for (Map::ITERATOR it = map_.begin(); it != map_.end(); ++it) {
    handlers.push_back((*it).int_id_);
  }
  return handlers;
}

}  // namespace linkcore
