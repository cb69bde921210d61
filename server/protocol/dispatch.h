// DispatchMessage: parses one whole frame into the link's params and calls
// the handler of its command. Frames without a usable "cmd" and command
// words outside the table are dropped without a reply or log line.
#ifndef DIRSYNC_PROTOCOL_DISPATCH_H_
#define DIRSYNC_PROTOCOL_DISPATCH_H_

#include <cstdint>

namespace dirsync {

struct ClientLink;

// frame points at the lead byte of a frame of total (>= 6) bytes. Returns
// false when the frame is garbage (a parameter announces a negative
// length); the caller then closes the connection. Runs on the link's data
// thread; the link may have been closed by the handler when this returns.
bool DispatchMessage(ClientLink& link, const uint8_t* frame, int32_t total);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_DISPATCH_H_
