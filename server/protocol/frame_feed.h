// The framing of one connection's byte stream, and who handles its frames
// (see "Ownership" in client_link.h).
//
// Frames that lie whole in a received chunk are dispatched straight from
// it; a partial frame is copied into the link's inBuffer, and from then on
// every byte goes through inBuffer until it is empty again. A frame whose
// lead byte is not 0x54, whose total length is below 6 or above the
// link's limit (kMaxFrameBeforeLogin before login, with a log line;
// kMaxFrameLength after), or whose parameters announce negative lengths
// closes the connection.
//
// Bounds each link keeps:
//  - before each frame, the link's queued output is checked against
//    kOutputBound; above it the link is parked, its input held, until the
//    network reports no more than kOutputLowMark queued;
//  - a heavy request goes to the request queue with the link, its input
//    held, until a worker has answered it;
//  - so while frames wait, nothing more is read: inBuffer holds at most
//    one frame and one received chunk. An emptied inBuffer gives back
//    memory beyond kKeptInputCapacity.
#ifndef DIRSYNC_PROTOCOL_FRAME_FEED_H_
#define DIRSYNC_PROTOCOL_FRAME_FEED_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "protocol/client_link.h"
#include "protocol/thread_scratch.h"

namespace dirsync {

// Room an empty inBuffer keeps for the next partial frame; a larger one is
// freed.
constexpr size_t kKeptInputCapacity = 16 * 1024;

// A data event: one received chunk. Runs on the connection's network
// thread; the data event becomes the link's owner for its duration.
void FeedBytes(const std::shared_ptr<ClientLink>& link, const uint8_t* data,
               size_t length);

// The drain event of a parked link: it takes the link on and handles its
// buffered frames. Runs on the connection's network thread.
void LinkDrained(const std::shared_ptr<ClientLink>& link);

// A worker's turn with a link handed to the request queue: runs its heavy
// request, then handles its buffered frames as owner.
void RunHeavyAndContinue(const std::shared_ptr<ClientLink>& link,
                         Scratch& scratch);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_FRAME_FEED_H_
