// The reply builder: handlers write their answer into the reply buffer of
// their thread's scratch with BeginReply, any number of Append*Param in the
// order the command defines, and SendReply.
//
// Layout written: the 6-byte frame header (filled in by SendReply), then
// per parameter the int8 name length (NUL included), the name and its NUL,
// the int32 value length and the value. All functions run on the link's
// owner. Appends report a failed allocation by result; SendReply then
// sends nothing (the reply would be cut).
#ifndef DIRSYNC_PROTOCOL_REPLY_BUILDER_H_
#define DIRSYNC_PROTOCOL_REPLY_BUILDER_H_

#include <cstdint>
#include <cstring>

#include "platform/byte_buffer.h"
#include "platform/little_endian.h"
#include "protocol/protocol_constants.h"

namespace dirsync {

struct ClientLink;

// Empties reply, writes the header's 6 bytes and the parameter "cmd" with
// word as text.
inline bool BeginReply(ByteBuffer& reply, const char* word);

// Writes one parameter. With length 0 the value is taken as a
// NUL-terminated text and sent with its NUL; so a value of length 0
// cannot be written here.
inline bool AppendParam(ByteBuffer& reply, const char* name, const void* value,
                        int32_t length);
inline bool AppendInt32Param(ByteBuffer& reply, const char* name, int32_t value);
inline bool AppendInt64Param(ByteBuffer& reply, const char* name, int64_t value);

// Starts a parameter whose value of at most capacity bytes the caller
// writes straight into the buffer, so that large data is not copied once
// more. Returns where the value goes (null when the memory cannot be had);
// FinishOpenParam then gives the value its length, which must be the
// parameter's last action on the buffer.
uint8_t* BeginOpenParam(ByteBuffer& reply, const char* name, size_t capacity);
void FinishOpenParam(ByteBuffer& reply, uint8_t* value, int32_t length);

// Cuts the reply back to size bytes (a size it had before), to drop the
// parameters appended after that point.
void TruncateReply(ByteBuffer& reply, size_t size);

// Overwrites the value of the int32 parameter that ends at valueEnd
// (the reply's size right after it was appended).
void PatchInt32Param(ByteBuffer& reply, size_t valueEnd, int32_t value);

// Fills in the header (lead byte, total length) and hands the bytes to the
// network, which copies them, on the link's connection; counts them in the
// link's output estimate. The reply buffer may be reused at once.
void SendReply(ClientLink& link, ByteBuffer& reply);

// The appends are inline: every reply (one per ping) is built from a few
// of them, and with the names written as literals the compiler turns each
// into a handful of stores.
namespace reply_builder_detail {

// Empties a reply whose build failed: SendReply refuses one shorter than
// its header. Returns false, for the caller to return.
inline bool Fail(ByteBuffer& reply) {
  reply.Clear();
  return false;
}

// Writes a parameter's head at out: the name's length, the name with its
// NUL (nameLength counts it) and the value's length. Returns where the
// value goes.
inline uint8_t* PutHead(uint8_t* out, const char* name, size_t nameLength,
                        uint32_t valueLength) {
  out[0] = static_cast<uint8_t>(nameLength);
  std::memcpy(out + 1, name, nameLength);
  StoreLE32(out + 1 + nameLength, valueLength);
  return out + 1 + nameLength + 4;
}

}  // namespace reply_builder_detail

inline bool AppendParam(ByteBuffer& reply, const char* name, const void* value,
                        int32_t length) {
  // A reply whose build failed stays empty; nothing is added to it.
  if (reply.size() < static_cast<size_t>(kFrameHeaderSize)) return false;
  const size_t nameLength = std::strlen(name) + 1;
  if (length == 0) {
    length = static_cast<int32_t>(std::strlen(static_cast<const char*>(value)) + 1);
  }
  uint8_t* out = reply.Extend(1 + nameLength + 4 + static_cast<size_t>(length));
  if (out == nullptr) return reply_builder_detail::Fail(reply);
  uint8_t* valueAt = reply_builder_detail::PutHead(out, name, nameLength,
                                                   static_cast<uint32_t>(length));
  std::memcpy(valueAt, value, static_cast<size_t>(length));
  return true;
}

inline bool BeginReply(ByteBuffer& reply, const char* word) {
  reply.Clear();
  uint8_t* header = reply.Extend(kFrameHeaderSize);
  if (header == nullptr) return reply_builder_detail::Fail(reply);
  std::memset(header, 0, kFrameHeaderSize);  // filled in by SendReply
  return AppendParam(reply, "cmd", word, 0);
}

inline bool AppendInt32Param(ByteBuffer& reply, const char* name, int32_t value) {
  uint8_t bytes[4];
  StoreLE32(bytes, static_cast<uint32_t>(value));
  return AppendParam(reply, name, bytes, 4);
}

inline bool AppendInt64Param(ByteBuffer& reply, const char* name, int64_t value) {
  uint8_t bytes[8];
  StoreLE64(bytes, static_cast<uint64_t>(value));
  return AppendParam(reply, name, bytes, 8);
}

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_REPLY_BUILDER_H_
