// The reply builder: handlers write their answer into the link's reply
// buffer with BeginReply, any number of Append*Param in the order the
// command defines, and SendReply.
//
// Layout written: the 6-byte frame header (filled in by SendReply), then
// per parameter the int8 name length (NUL included), the name and its NUL,
// the int32 value length and the value. All functions run on the link's
// data thread. Appends report a failed allocation by result; SendReply
// then sends nothing (the reply would be cut).
#ifndef DIRSYNC_PROTOCOL_REPLY_BUILDER_H_
#define DIRSYNC_PROTOCOL_REPLY_BUILDER_H_

#include <cstdint>

#include "core/client_link_buffer.h"

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

// Fills in the header (lead byte, total length) and hands the bytes to the
// network, which copies them. The reply buffer may be reused at once.
void SendReply(ClientLink& link);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_REPLY_BUILDER_H_
