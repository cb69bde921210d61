#include "protocol/reply_builder.h"

#include <cassert>
#include <cstring>

#include "platform/little_endian.h"
#include "protocol/client_link.h"
#include "protocol/protocol_constants.h"

namespace dirsync {

uint8_t* BeginOpenParam(ByteBuffer& reply, const char* name, size_t capacity) {
  if (reply.size() < static_cast<size_t>(kFrameHeaderSize)) return nullptr;
  const size_t nameLength = std::strlen(name) + 1;
  if (!reply.Reserve(reply.size() + 1 + nameLength + 4 + capacity)) {
    reply_builder_detail::Fail(reply);
    return nullptr;
  }
  // The length is written by FinishOpenParam.
  return reply_builder_detail::PutHead(reply.Extend(1 + nameLength + 4), name, nameLength, 0);
}

void FinishOpenParam(ByteBuffer& reply, uint8_t* value, int32_t length) {
  const size_t valueAt = static_cast<size_t>(value - reply.data());
  // The value was begun last, and fits the room BeginOpenParam reserved.
  assert(valueAt == reply.size() && length >= 0 &&
         valueAt + static_cast<size_t>(length) <= reply.capacity());
  StoreLE32(value - 4, static_cast<uint32_t>(length));
  reply.Resize(valueAt + static_cast<size_t>(length));  // within the reserve
}

void TruncateReply(ByteBuffer& reply, size_t size) {
  assert(size <= reply.size() || reply.size() == 0);
  if (size < reply.size()) reply.Resize(size);
}

void PatchInt32Param(ByteBuffer& reply, size_t valueEnd, int32_t value) {
  if (valueEnd < 4 || valueEnd > reply.size()) return;  // the build failed
  StoreLE32(reply.data() + valueEnd - 4, static_cast<uint32_t>(value));
}

void SendReply(ClientLink& link, ByteBuffer& reply) {
  if (reply.size() < static_cast<size_t>(kFrameHeaderSize)) return;
  reply.data()[0] = kFrameLead;
  StoreLE32(reply.data() + 1, static_cast<uint32_t>(reply.size()));
  reply.data()[5] = 0;
  link.outputEstimate += reply.size();
  link.context.net->Send(link.connId, reply.data(),
                         static_cast<int>(reply.size()));
}

}  // namespace dirsync
