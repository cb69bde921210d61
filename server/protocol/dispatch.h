// DispatchMessage: parses one whole frame and calls the handler of its
// command. "reg" and "ping" are answered at once; "list" and "dload" are
// checked and taken into the link's request, to be run by
// RunHeavyRequest (on a worker); a "wait" is answered at once when its
// store has grown, or else taken into the link's request to wait for it. Frames without a usable "cmd", and
// command words outside the table, are dropped without a reply or log
// line.
#ifndef DIRSYNC_PROTOCOL_DISPATCH_H_
#define DIRSYNC_PROTOCOL_DISPATCH_H_

#include <cstdint>

#include "protocol/thread_scratch.h"

namespace dirsync {

struct ClientLink;

enum class DispatchResult {
  kDone,     // handled (the connection may have been closed)
  kGarbage,  // a parameter announces a negative length: close
  kHeavy,    // link.request holds a request for RunHeavyRequest
  kWait,     // link.request holds a wait for the store to grow
};

// frame points at the lead byte of a frame of total (>= 6) bytes; it is
// parsed into scratch.params. Runs on the link's owner.
DispatchResult DispatchMessage(ClientLink& link, const uint8_t* frame,
                               int32_t total, Scratch& scratch);

// Runs and answers the heavy request in link.request, then clears it.
// Runs on the link's owner (a worker).
void RunHeavyRequest(ClientLink& link, Scratch& scratch);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_DISPATCH_H_
