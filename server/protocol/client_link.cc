#include "protocol/client_link.h"

namespace dirsync {

ClientLink::ClientLink(uint64_t id, const ProtocolContext& linkContext)
    : connId(id), context(linkContext) {}

void CloseClientLink(ClientLink& link) {
  link.closed.store(true, std::memory_order_release);
  link.context.net->DisConnect(link.connId);
}

}  // namespace dirsync
