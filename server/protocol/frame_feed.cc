#include "protocol/frame_feed.h"

#include <cassert>

#include "platform/little_endian.h"
#include "protocol/dispatch.h"
#include "protocol/protocol_constants.h"

namespace dirsync {
namespace {

// Whether the frame header at p (at least 6 bytes) is one the server takes:
// the lead byte and a total length between the header size and the limit.
bool HeaderIsSound(const uint8_t* p, int32_t* total) {
  *total = static_cast<int32_t>(LoadLE32(p + 1));
  return p[0] == kFrameLead && *total >= kFrameHeaderSize &&
         *total <= kMaxFrameLength;
}

// Dispatches one whole frame. False when the link must not be used for
// further frames (the frame was garbage, or the connection got closed).
bool HandleFrame(ClientLink& link, const uint8_t* frame, int32_t total) {
  if (!DispatchMessage(link, frame, total)) {
    CloseClientLink(link);
    return false;
  }
  return !link.closed.load(std::memory_order_acquire);
}

// Marks the link fed for the life of one data event.
class FeedingLink {
 public:
  explicit FeedingLink(ClientLink& link) : link_(link) {
    const bool overlapping = link_.feeding.exchange(true);
    assert(!overlapping);
    (void)overlapping;
  }
  ~FeedingLink() { link_.feeding.store(false); }
  FeedingLink(const FeedingLink&) = delete;
  FeedingLink& operator=(const FeedingLink&) = delete;

 private:
  ClientLink& link_;
};

}  // namespace

void FeedBytes(ClientLink& link, const uint8_t* data, size_t length) {
  FeedingLink feeding(link);
  if (link.closed.load(std::memory_order_acquire)) return;
  if (link.inBuffer.empty()) {
    // Fast path: frames that lie whole in the chunk, without a copy.
    while (length > static_cast<size_t>(kFrameHeaderSize)) {
      int32_t total;
      if (!HeaderIsSound(data, &total)) {
        CloseClientLink(link);
        return;
      }
      if (length < static_cast<size_t>(total)) break;
      if (!HandleFrame(link, data, total)) return;
      data += total;
      length -= static_cast<size_t>(total);
    }
    if (length == 0) return;
  }
  if (!link.inBuffer.Append(data, length)) {
    CloseClientLink(link);
    return;
  }
  DrainInBuffer(link);
}

void DrainInBuffer(ClientLink& link) {
  ByteBuffer& in = link.inBuffer;
  size_t p = 0;
  size_t n = in.size();
  while (n >= static_cast<size_t>(kFrameHeaderSize)) {
    int32_t total;
    if (!HeaderIsSound(in.data() + p, &total)) {
      CloseClientLink(link);
      return;
    }
    if (n < static_cast<size_t>(total)) break;
    if (!HandleFrame(link, in.data() + p, total)) return;
    p += static_cast<size_t>(total);
    n -= static_cast<size_t>(total);
  }
  if (p > 0) in.Consume(p);
}

}  // namespace dirsync
