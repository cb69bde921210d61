#include "protocol/dispatch.h"

#include "platform/little_endian.h"
#include "protocol/client_link.h"
#include "protocol/download_handler.h"
#include "protocol/list_handler.h"
#include "protocol/login_handler.h"
#include "protocol/protocol_constants.h"
#include "protocol/wait_handler.h"

namespace dirsync {

DispatchResult DispatchMessage(ClientLink& link, const uint8_t* frame,
                               int32_t total, Scratch& scratch) {
  MessageParams& params = scratch.params;
  for (ParamEntry*& slot : params.slots) slot = nullptr;
  if (!ParseParams(params, frame + kFrameHeaderSize, frame + total)) {
    return DispatchResult::kGarbage;
  }
  const ParamEntry* cmd = params.slots[kSlotKey];
  // A word shorter than four bytes matches no command: its comparison
  // would take bytes that follow it in the frame.
  if (cmd == nullptr || cmd->length < 4) return DispatchResult::kDone;

  switch (LoadLE32(cmd->value)) {
    case CMD_REQ_REG:
      HandleReg(link, params, scratch.reply);
      break;
    case CMD_PING:
      HandlePing(link, params, scratch.reply);
      break;
    case CMD_REQ_LIST:
      if (TakeList(link, params)) return DispatchResult::kHeavy;
      break;
    case CMD_REQ_DOWNLOAD_FILE:
      if (TakeDload(link, params)) return DispatchResult::kHeavy;
      break;
    case CMD_REQ_WAIT:
      if (TakeWait(link, params, scratch.reply)) return DispatchResult::kWait;
      break;
    case CMD_RTN_DOWNLOAD_FILE:
    case CMD_RTN_REG:
    case CMD_RTN_LIST:
    case CMD_PONG:
    case CMD_RTN_WAIT:
    default:
      break;
  }
  return DispatchResult::kDone;
}

void RunHeavyRequest(ClientLink& link, Scratch& scratch) {
  switch (link.request.kind) {
    case HeavyRequest::Kind::kList:
      RunList(link, link.request, scratch);
      break;
    case HeavyRequest::Kind::kDload:
      RunDload(link, link.request, scratch);
      break;
    case HeavyRequest::Kind::kWait:
      AnswerWait(link, link.request, scratch.reply);
      break;
    case HeavyRequest::Kind::kNone:
      break;
  }
  link.request = HeavyRequest();
}

}  // namespace dirsync
