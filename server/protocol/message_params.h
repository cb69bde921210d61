// MessageParams: the parsed form of one received frame.
//
// Parsing copies nothing: each entry points into the frame, so the params
// are valid only while that frame is being handled. A key that occurs twice
// ends up with its later occurrence; names outside the key table are
// skipped; a parameter that would reach past the frame's end ends the
// parsing, and the parameters before it stay in use.
//
// Reading convention of the handlers: a text is usable when its value
// holds a NUL within its length (the text is then the bytes up to that
// NUL); an int32 only when its length is exactly 4, an int64 only when its
// length is exactly 8.
//
// All functions are pure and thread safe on distinct params.
#ifndef DIRSYNC_PROTOCOL_MESSAGE_PARAMS_H_
#define DIRSYNC_PROTOCOL_MESSAGE_PARAMS_H_

#include <cstddef>
#include <cstdint>

#include "protocol/protocol_constants.h"

namespace dirsync {

struct ParamEntry {
  const uint8_t* name;   // the name field inside the frame
  const uint8_t* value;  // the value bytes inside the frame
  int32_t length;        // the value length
};

struct MessageParams {
  // Null when the key did not occur in the frame; else points into entries.
  ParamEntry* slots[kParamSlotCount];
  ParamEntry entries[kParamSlotCount];
};

// Slot of a key value, or -1 for a name outside the key table.
int ParamSlotOf(uint32_t key);

// Fills the slots from the parameter bytes [begin, end) of one frame; the
// caller has set every slot to null. Returns false when a parameter
// announces a negative name or value length: no correct peer sends that,
// and the frame is then garbage.
bool ParseParams(MessageParams& params, const uint8_t* begin,
                 const uint8_t* end);

// The text of slot (its bytes up to the NUL), or null when the key is
// missing, its value length is 0, or its value holds no NUL.
const char* TextParam(const MessageParams& params, ParamSlot slot);

// The slot's value when its length is exactly 4 (8), else fallback.
int32_t Int32Param(const MessageParams& params, ParamSlot slot,
                   int32_t fallback = 0);
int64_t Int64Param(const MessageParams& params, ParamSlot slot,
                   int64_t fallback = 0);
// Whether the slot is present with a value of exactly size bytes.
bool HasParamOfSize(const MessageParams& params, ParamSlot slot,
                    int32_t size);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_MESSAGE_PARAMS_H_
