// "reg" (login to a task) and "ping" (report the read position).
//
// A login checks the client's token against the first line of the user's
// credential file in the context's user directory (TASK/UID, or the older
// TASK-UID: see credentials.h), in constant time. A login to a task whose
// store is not open is refused (the connection closed, one log line naming
// the cause), whatever the credential. The user id and the task name
// become part of that file name, so a value that could leave user/ or name
// another kind of file (holding '/', '\', a control character or a NUL
// before its end, or being empty, "." or "..") is refused as an unknown
// user. An empty credential file, or one whose first line is empty,
// rejects every token.
//
// Handlers run on the link's owner (a network thread), write their reply
// into the given buffer, and touch nothing of the link after closing its
// connection.
#ifndef DIRSYNC_PROTOCOL_LOGIN_HANDLER_H_
#define DIRSYNC_PROTOCOL_LOGIN_HANDLER_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/byte_buffer.h"
#include "protocol/message_params.h"

namespace dirsync {

struct ClientLink;

void HandleReg(ClientLink& link, const MessageParams& params,
               ByteBuffer& reply);
void HandlePing(ClientLink& link, const MessageParams& params,
                ByteBuffer& reply);

// Whether the value of a text parameter (its bytes, NUL included: the
// whole value of length bytes) may be placed into a file name. Pure.
bool IsSafeNameValue(const char* value, size_t length);

// Reads the first line of the file at path as a text-mode read would: at
// most 1023 bytes, CR LF read as LF, the LF kept when it lies within
// those bytes. False when the file cannot be opened or read, or is not a
// regular file. Runs on any thread.
bool ReadCredentialLine(const std::string& path, std::string* line);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_LOGIN_HANDLER_H_
