// "wait": a logged-in client asks to be answered as soon as its task's
// store holds more than "pos" bytes, or after "time" milliseconds (at most
// kLongestWait) otherwise. The reply "-wait" carries "max" (the store's
// size when answered) and "val" echoed, as "pong" does; "time" 0 or absent
// answers at once. A link whose store was compacted since its login is
// closed instead of answered, as for "ping", so that it logs in to the
// new store. Servers that do not know the word drop it without a
// reply, which clients use to tell them apart (see docs/protocol.md).
#ifndef DIRSYNC_PROTOCOL_WAIT_HANDLER_H_
#define DIRSYNC_PROTOCOL_WAIT_HANDLER_H_

#include <chrono>

#include "platform/byte_buffer.h"
#include "protocol/message_params.h"

namespace dirsync {

struct ClientLink;
struct HeavyRequest;

// The longest wait a client may ask for.
constexpr std::chrono::milliseconds kLongestWait{60000};

// Answers a "wait" whose store has already grown (or that names no
// time), and returns false; or stores the wait in link.request and
// returns true, for the caller to park the link until the store grows or
// until the wait's deadline (WaitDeadline). A link that has not logged in
// is ignored (false), as for "ping". Runs on the link's owner.
bool TakeWait(ClientLink& link, const MessageParams& params, ByteBuffer& reply);

// When a wait stored by TakeWait ends.
std::chrono::steady_clock::time_point WaitDeadline(const HeavyRequest& request);

// Answers a stored wait with the store's size now. Runs on the link's
// owner (a worker).
void AnswerWait(ClientLink& link, const HeavyRequest& request, ByteBuffer& reply);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_WAIT_HANDLER_H_
