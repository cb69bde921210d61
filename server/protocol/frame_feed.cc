#include "protocol/frame_feed.h"

#include <cassert>

#include "platform/little_endian.h"
#include "platform/log.h"
#include "protocol/dispatch.h"
#include "protocol/growth_waiters.h"
#include "protocol/protocol_constants.h"
#include "protocol/request_queue.h"
#include "protocol/wait_handler.h"

namespace dirsync {
namespace {

// The total length of the frame whose header (6 bytes) is at p, or 0 when
// the header is one the server does not take; the connection is then
// closed. A frame larger than a link that has not logged in may send is
// logged: it is the mark of a client trying to make the server buffer.
int32_t CheckHeader(ClientLink& link, const uint8_t* p) {
  const int32_t total = static_cast<int32_t>(LoadLE32(p + 1));
  if (p[0] != kFrameLead || total < kFrameHeaderSize ||
      total > kMaxFrameLength) {
    CloseClientLink(link);
    return 0;
  }
  if (link.task == nullptr && total > kMaxFrameBeforeLogin) {
    char remote[64] = "";
    link.context.net->GetAddr(link.connId, 1, remote, sizeof remote);
    LogPrint("%D Remote=%s sent a frame of %d bytes before login (at most %d); "
             "connection closed.\n",
             remote, static_cast<int>(total),
             static_cast<int>(kMaxFrameBeforeLogin));
    CloseClientLink(link);
    return 0;
  }
  return total;
}

// Holds the connection's input while the link waits for a worker or for
// its output. Owner only.
void HoldInput(ClientLink& link) {
  if (link.inputHeld) return;
  link.inputHeld = true;
  link.context.net->HoldInput(link.connId, true);
}

// Ends the caller's ownership. The input is released after `owned` is
// clear, so that a data event the release lets in finds the link free;
// nothing else can take the link on meanwhile (its input is held and it
// is not parked).
void LetGo(ClientLink& link) {
  const bool held = link.inputHeld;
  link.inputHeld = false;
  link.owned.store(false, std::memory_order_release);
  if (held) link.context.net->HoldInput(link.connId, false);
}

enum class OutputState { kRoom, kFull, kGone };

// Whether the link's queued output leaves room for another frame. Asks the
// network only when the estimate is over the bound.
OutputState CheckOutput(ClientLink& link) {
  if (link.outputEstimate <= static_cast<uint64_t>(kOutputBound)) {
    return OutputState::kRoom;
  }
  const int64_t queued = link.context.net->QueuedOutput(link.connId);
  if (queued < 0) return OutputState::kGone;
  link.outputEstimate = static_cast<uint64_t>(queued);
  return queued <= kOutputBound ? OutputState::kRoom : OutputState::kFull;
}

// Parks a link whose output is over the bound, its input held, until its
// drain event. True when parked: the drain event owns the link from here,
// and the caller touches nothing of it. False when the output fell to the
// low mark meanwhile: the caller goes on as owner.
bool Park(ClientLink& link) {
  {
    MutexLock guard(&link.drainLock);
    link.drainArrived = false;
  }
  const int armed = link.context.net->NotifyDrained(link.connId, kOutputLowMark);
  if (armed != 1) {
    // Drained already (2), or the connection is gone (0) and its close
    // event stops the link.
    link.outputEstimate = static_cast<uint64_t>(kOutputLowMark);
    return armed == 0;
  }
  HoldInput(link);
  MutexLock guard(&link.drainLock);
  if (link.drainArrived) {
    link.drainArrived = false;
    link.outputEstimate = static_cast<uint64_t>(kOutputLowMark);
    return false;
  }
  link.parked = true;
  return true;
}

// Handles the link's frames as its owner: those in inBuffer, then those of
// [chunk, chunk + length). Returns when the whole frames run out (keeping
// the rest and letting go of the link), when the link passes to a worker
// or to its drain event, or when it is closed.
void Drive(const std::shared_ptr<ClientLink>& shared, const uint8_t* chunk,
           size_t length, Scratch& scratch) {
  ClientLink& link = *shared;
  ByteBuffer& in = link.inBuffer;
  if (!in.empty() && length > 0) {
    if (!in.Append(chunk, length)) {
      CloseClientLink(link);
      return;
    }
    length = 0;
  }
  bool fromBuffer = !in.empty();
  const uint8_t* data = fromBuffer ? in.data() : chunk;
  size_t n = fromBuffer ? in.size() : length;
  size_t p = 0;
  // Moves what is left of the frames into inBuffer, from where the loop
  // goes on; false when memory is short.
  auto keepRest = [&]() {
    if (fromBuffer) {
      in.Consume(p);
    } else if (!in.Append(data + p, n - p)) {
      return false;
    }
    fromBuffer = true;
    data = in.data();
    n = in.size();
    p = 0;
    return true;
  };

  for (;;) {
    if (link.closed.load(std::memory_order_acquire)) return;
    if (n - p < static_cast<size_t>(kFrameHeaderSize)) break;
    const int32_t total = CheckHeader(link, data + p);
    if (total == 0) return;
    if (n - p < static_cast<size_t>(total)) break;

    switch (CheckOutput(link)) {
      case OutputState::kRoom:
        break;
      case OutputState::kGone:
        return;
      case OutputState::kFull:
        if (!keepRest()) {
          CloseClientLink(link);
          return;
        }
        if (Park(link)) return;
        break;
    }

    const DispatchResult result = DispatchMessage(link, data + p, total, scratch);
    p += static_cast<size_t>(total);
    if (result == DispatchResult::kGarbage) {
      CloseClientLink(link);
      return;
    }
    if (result == DispatchResult::kHeavy || result == DispatchResult::kWait) {
      // The link passes to the request queue, or to the waiters until its
      // store grows; without them the request is answered here and now.
      RequestQueue* queue = link.context.requests;
      GrowthWaiters* waiters = link.context.waiters;
      const bool waiting = result == DispatchResult::kWait;
      if (queue == nullptr || (waiting && waiters == nullptr)) {
        RunHeavyRequest(link, scratch);
        continue;
      }
      if (!keepRest()) {
        CloseClientLink(link);
        return;
      }
      HoldInput(link);
      if (!waiting) {
        queue->Submit(shared);
        return;
      }
      if (waiters->Park(shared, WaitDeadline(link.request))) return;
      RunHeavyRequest(link, scratch);  // the waiters have stopped
    }
  }

  // Out of whole frames: keep the partial one for the next chunk.
  if (fromBuffer) {
    in.Consume(p);
    if (in.empty() && in.capacity() > kKeptInputCapacity) in.Release();
  } else if (p < n && !in.Append(data + p, n - p)) {
    CloseClientLink(link);
    return;
  }
  LetGo(link);
}

}  // namespace

void FeedBytes(const std::shared_ptr<ClientLink>& link, const uint8_t* data,
               size_t length) {
  if (link->closed.load(std::memory_order_acquire)) return;
  // The network makes no data event while another thread owns the link:
  // that owner holds the connection's input.
  const bool overlapping = link->owned.exchange(true, std::memory_order_acq_rel);
  assert(!overlapping);
  (void)overlapping;
  Drive(link, data, length, ThreadScratch());
}

void LinkDrained(const std::shared_ptr<ClientLink>& link) {
  {
    MutexLock guard(&link->drainLock);
    if (!link->parked) {
      // The owner is still parking the link and goes on itself.
      link->drainArrived = true;
      return;
    }
    link->parked = false;
  }
  link->outputEstimate = static_cast<uint64_t>(kOutputLowMark);
  if (link->closed.load(std::memory_order_acquire)) return;
  Drive(link, nullptr, 0, ThreadScratch());
}

void RunHeavyAndContinue(const std::shared_ptr<ClientLink>& link,
                         Scratch& scratch) {
  if (link->closed.load(std::memory_order_acquire)) return;
  RunHeavyRequest(*link, scratch);
  Drive(link, nullptr, 0, scratch);
}

}  // namespace dirsync
