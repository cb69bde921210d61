#include "protocol/dispatch.h"

#include "protocol/client_link.h"
#include "platform/little_endian.h"
#include "protocol/download_handler.h"
#include "protocol/list_handler.h"
#include "protocol/login_handler.h"
#include "protocol/protocol_constants.h"

namespace dirsync {

bool DispatchMessage(ClientLink& link, const uint8_t* frame, int32_t total) {
  MessageParams& params = link.params;
  for (ParamEntry*& slot : params.slots) slot = nullptr;
  if (!ParseParams(params, frame + kFrameHeaderSize, frame + total)) {
    return false;
  }
  const ParamEntry* cmd = params.slots[kSlotKey];
  // A word shorter than four bytes matches no command: its comparison
  // would take bytes that follow it in the frame.
  if (cmd == nullptr || cmd->length < 4) return true;

  switch (LoadLE32(cmd->value)) {
    case CMD_REQ_REG:
      HandleReg(link, params);
      break;
    case CMD_PING:
      HandlePing(link, params);
      break;
    case CMD_REQ_LIST:
      HandleList(link, params);
      break;
    case CMD_REQ_DOWNLOAD_FILE:
      HandleDload(link, params);
      break;
    case CMD_RTN_DOWNLOAD_FILE:
      HandleDloadReply(link, params);
      break;
    case CMD_RTN_REG:
    case CMD_RTN_LIST:
    case CMD_PONG:
    default:
      break;
  }
  return true;
}

}  // namespace dirsync
