// The framing of one connection's byte stream.
//
// Frames that lie whole in a received chunk are dispatched straight from
// it; a partial frame is copied into the link's inBuffer, and from then on
// every byte goes through inBuffer until it is empty again. A frame whose
// lead byte is not 0x54, whose total length is below 6 or above
// kMaxFrameLength, or whose parameters announce negative lengths closes the
// connection.
#ifndef DIRSYNC_PROTOCOL_FRAME_FEED_H_
#define DIRSYNC_PROTOCOL_FRAME_FEED_H_

#include <cstddef>
#include <cstdint>

#include "protocol/client_link.h"

namespace dirsync {

// The framing step for one received chunk. Runs on the link's data thread.
void FeedBytes(ClientLink& link, const uint8_t* data, size_t length);

// Dispatches the whole frames that inBuffer holds and keeps the rest.
// Runs on the link's data thread.
void DrainInBuffer(ClientLink& link);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_FRAME_FEED_H_
