#include "app/client_link_table.h"

#include <mutex>
#include <unordered_map>
#include <utility>

#include "protocol/link_net.h"
#include "platform/little_endian.h"
#include "protocol/dispatch.h"
#include "protocol/protocol_constants.h"

namespace dirsync {
namespace {

using LinkMap = std::unordered_map<uint64_t, std::shared_ptr<ClientLink>>;

// Both live for the whole process and are never destroyed, so that a
// network thread still running at exit never meets a destroyed table.
// clientLinksLock guards clientLinks (the map, not the links in it).
std::mutex& clientLinksLock = *new std::mutex;
LinkMap& clientLinks = *new LinkMap;

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

}  // namespace

void OnConnectionEvent(uint64_t id, int opened) {
  std::shared_ptr<ClientLink> old;
  if (opened != 0) {
    // Built outside the lock: the link reserves its buffers.
    auto link = std::make_shared<ClientLink>(id);
    std::lock_guard<std::mutex> guard(clientLinksLock);
    std::shared_ptr<ClientLink>& slot = clientLinks[id];
    old = std::move(slot);
    slot = std::move(link);
  } else {
    std::lock_guard<std::mutex> guard(clientLinksLock);
    auto it = clientLinks.find(id);
    if (it == clientLinks.end()) return;
    old = std::move(it->second);
    clientLinks.erase(it);
  }
  // A replaced or removed link is freed here, outside the lock, unless a
  // data event still holds it.
  if (old) old->closed.store(true, std::memory_order_release);
}

void OnReceive(uint64_t id, const char* data, int length) {
  std::shared_ptr<ClientLink> link = FindClientLink(id);
  if (!link || length <= 0) return;
  FeedBytes(*link, reinterpret_cast<const uint8_t*>(data),
            static_cast<size_t>(length));
}

void FeedBytes(ClientLink& link, const uint8_t* data, size_t length) {
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

void CloseClientLink(ClientLink& link) {
  link.closed.store(true, std::memory_order_release);
  ClientLinkNet().DisConnect(link.connId);
}

std::shared_ptr<ClientLink> FindClientLink(uint64_t id) {
  std::lock_guard<std::mutex> guard(clientLinksLock);
  auto it = clientLinks.find(id);
  return it == clientLinks.end() ? nullptr : it->second;
}

size_t ClientLinkCount() {
  std::lock_guard<std::mutex> guard(clientLinksLock);
  return clientLinks.size();
}

}  // namespace dirsync
