#include "protocol/wait_handler.h"

#include <algorithm>

#include "catalog/sync_task.h"
#include "protocol/client_link.h"
#include "protocol/reply_builder.h"

namespace dirsync {
namespace {

void SendWaitReply(ClientLink& link, int32_t val, ByteBuffer& reply) {
  BeginReply(reply, "-wait");
  AppendInt64Param(reply, "max", link.task->store.storeSize.load());
  AppendInt32Param(reply, "val", val);
  SendReply(link, reply);
}

}  // namespace

bool TakeWait(ClientLink& link, const MessageParams& params, ByteBuffer& reply) {
  if (link.task == nullptr) return false;
  if (StoreReplaced(link)) return false;
  const int64_t pos = Int64Param(params, kSlotPos);
  const int32_t val = Int32Param(params, kSlotVal);
  const int32_t waitMs = Int32Param(params, kSlotTime);
  if (pos > 0 && link.clientPos < static_cast<uint64_t>(pos)) {
    link.clientPos = static_cast<uint64_t>(pos);
  }
  if (waitMs <= 0 || link.task->store.storeSize.load() > pos) {
    SendWaitReply(link, val, reply);
    return false;
  }
  link.request = HeavyRequest();
  link.request.kind = HeavyRequest::Kind::kWait;
  link.request.pos = pos;
  link.request.val = val;
  link.request.size = static_cast<int32_t>(
      std::min<int64_t>(waitMs, kLongestWait.count()));
  return true;
}

std::chrono::steady_clock::time_point WaitDeadline(const HeavyRequest& request) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(request.size);
}

void AnswerWait(ClientLink& link, const HeavyRequest& request, ByteBuffer& reply) {
  // A store compacted meanwhile: the client logs in to the new one.
  if (StoreReplaced(link)) return;
  SendWaitReply(link, request.val, reply);
}

}  // namespace dirsync
