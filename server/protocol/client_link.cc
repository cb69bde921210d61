#include "protocol/client_link.h"

#include "catalog/sync_task.h"
#include "platform/log.h"

namespace dirsync {

ClientLink::ClientLink(uint64_t id, const ProtocolContext& linkContext)
    : connId(id), context(linkContext) {}

void CloseClientLink(ClientLink& link) {
  link.closed.store(true, std::memory_order_release);
  link.context.net->DisConnect(link.connId);
}

bool StoreReplaced(ClientLink& link) {
  if (link.task == nullptr) return false;
  const uint32_t now = link.task->storeId.load(std::memory_order_relaxed);
  if (now == link.storeId) return false;
  LogPrint("%D store of task %s was compacted (id %u, was %u): the client "
           "logs in again\n",
           link.task->name.c_str(), now, link.storeId);
  CloseClientLink(link);
  return true;
}

}  // namespace dirsync
