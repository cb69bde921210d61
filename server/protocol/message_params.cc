#include "protocol/message_params.h"

#include <cassert>
#include <cstring>

#include "platform/little_endian.h"

namespace dirsync {

int ParamSlotOf(uint32_t key) {
  switch (key) {
    case PARAM_KEY: return kSlotKey;
    case PARAM_UID: return kSlotUid;
    case PARAM_TOKEN: return kSlotToken;
    case PARAM_MAX: return kSlotMax;
    case PARAM_PATH: return kSlotPath;
    case PARAM_FILEID: return kSlotFileId;
    case PARAM_CUR: return kSlotCur;
    case PARAM_DATA: return kSlotData;
    case PARAM_LEN: return kSlotLen;
    case PARAM_DSIZE: return kSlotSize;
    case PARAM_POS: return kSlotPos;
    case PARAM_ZIP: return kSlotZip;
    case PARAM_VER: return kSlotVer;
    case PARAM_VAL: return kSlotVal;
    case PARAM_ERROR: return kSlotError;
    case PARAM_INFO: return kSlotInfo;
    case PARAM_TIME: return kSlotTime;
    default: return -1;
  }
}

bool ParseParams(MessageParams& params, const uint8_t* begin,
                 const uint8_t* end) {
  // Offsets are 64-bit so that no announced length can wrap a pointer.
  const int64_t size = end - begin;
  int64_t p = 0;
  while (p + 6 < size) {
    const int8_t n = static_cast<int8_t>(begin[p]);
    if (n < 0) return false;
    // The value length itself must lie inside the frame.
    if (p + 5 + n > size) return true;
    const int32_t m = static_cast<int32_t>(LoadLE32(begin + p + 1 + n));
    if (m < 0) return false;
    const int64_t next = p + 5 + int64_t{n} + m;
    if (next > size) return true;
    // A name field shorter than four bytes would be compared with bytes of
    // the value length behind it; no key is that short.
    if (n >= 4) {
      int slot = ParamSlotOf(LoadLE32(begin + p + 1));
      if (slot >= 0) {
        ParamEntry& e = params.entries[slot];
        e.name = begin + p + 1;
        e.value = begin + p + 5 + n;
        e.length = m;
        // Every entry points into the frame.
        assert(e.value + e.length <= end);
        params.slots[slot] = &e;
      }
    }
    p = next;
  }
  return true;
}

const char* TextParam(const MessageParams& params, ParamSlot slot) {
  const ParamEntry* e = params.slots[slot];
  if (e == nullptr || e->length <= 0) return nullptr;
  if (std::memchr(e->value, 0, static_cast<size_t>(e->length)) == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<const char*>(e->value);
}

bool HasParamOfSize(const MessageParams& params, ParamSlot slot,
                    int32_t size) {
  const ParamEntry* e = params.slots[slot];
  return e != nullptr && e->length == size;
}

int32_t Int32Param(const MessageParams& params, ParamSlot slot,
                   int32_t fallback) {
  if (!HasParamOfSize(params, slot, 4)) return fallback;
  return static_cast<int32_t>(LoadLE32(params.slots[slot]->value));
}

int64_t Int64Param(const MessageParams& params, ParamSlot slot,
                   int64_t fallback) {
  if (!HasParamOfSize(params, slot, 8)) return fallback;
  return static_cast<int64_t>(LoadLE64(params.slots[slot]->value));
}

}  // namespace dirsync
