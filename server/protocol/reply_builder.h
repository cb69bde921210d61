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

#include "platform/byte_buffer.h"

namespace dirsync {

struct ClientLink;

// Empties reply, writes the header's 6 bytes and the parameter "cmd" with
// word as text.
bool BeginReply(ByteBuffer& reply, const char* word);

// Writes one parameter. With length 0 the value is taken as a
// NUL-terminated text and sent with its NUL; so a value of length 0
// cannot be written here.
bool AppendParam(ByteBuffer& reply, const char* name, const void* value,
                 int32_t length);
bool AppendInt32Param(ByteBuffer& reply, const char* name, int32_t value);
bool AppendInt64Param(ByteBuffer& reply, const char* name, int64_t value);

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

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_REPLY_BUILDER_H_
