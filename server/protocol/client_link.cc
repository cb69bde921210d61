#include "protocol/client_link.h"

#include <unistd.h>

namespace dirsync {

ClientLink::ClientLink(uint64_t id) : connId(id) {
  // Untouched pages of the reservation cost no resident memory.
  inBuffer.Reserve(kInBufferReserve);
}

ClientLink::~ClientLink() {
  if (dlHandle >= 0) ::close(dlHandle);
}

}  // namespace dirsync
