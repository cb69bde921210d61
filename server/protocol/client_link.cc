#include "protocol/client_link.h"

namespace dirsync {

ClientLink::ClientLink(uint64_t id, const ProtocolContext& linkContext)
    : connId(id), context(linkContext) {
  // Untouched pages of the reservation cost no resident memory. Without
  // them the buffer simply grows when a partial frame arrives.
  (void)inBuffer.Reserve(kInBufferReserve);
}

void CloseClientLink(ClientLink& link) {
  link.closed.store(true, std::memory_order_release);
  link.context.net->DisConnect(link.connId);
}

}  // namespace dirsync
