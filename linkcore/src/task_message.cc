#include "task_message.h"

#include <cstring>
#include <new>

bool KRL_Msg::MakeData(const void* bytes, int length, uint64_t param,
                       KRL_Msg* out) {
  KRL_Msg msg;
  msg.param = param;
  if (bytes != nullptr && length > 0) {
    msg.data = new (std::nothrow) char[length];
    if (msg.data == nullptr) return false;
    std::memcpy(msg.data, bytes, static_cast<size_t>(length));
    msg.length = static_cast<uint32_t>(length);
  }
  *out = msg;
  return true;
}

KRL_Msg KRL_Msg::MakeStop() {
  KRL_Msg msg;
  msg.type = kStop;
  return msg;
}

void KRL_Msg::FreeData() {
  delete[] data;
  data = nullptr;
  length = 0;
}
