// KRL_Msg: one message on its way from a producer to a pool worker.
//
// Both pool kinds carry the same four fields; the put functions fill them
// with a copy of the producer's bytes, the worker hands them to the
// callback and then frees the copy.
#ifndef LINKCORE_SRC_TASK_MESSAGE_H_
#define LINKCORE_SRC_TASK_MESSAGE_H_

#include <cstdint>

struct KRL_Msg {
  // Type of an ordinary message, handed to the callback.
  static constexpr int32_t kData = 0;
  // Type of a stop request: the worker that takes it ends.
  static constexpr int32_t kStop = -1;

  char* data = nullptr;  // the library's own copy of the bytes, or null
  uint32_t length = 0;   // bytes in data; 0 when data is null
  int32_t type = kData;
  uint64_t param = 0;    // the producer's value, passed through untouched

  // Makes an ordinary message holding a copy of the bytes. A null pointer or
  // a length of 0 or less gives a message without bytes. Returns false only
  // when the copy cannot be allocated.
  static bool MakeData(const void* bytes, int length, uint64_t param,
                       KRL_Msg* out);
  // Makes a stop request without bytes.
  static KRL_Msg MakeStop();

  // Frees the copy of the bytes and clears data and length.
  void FreeData();
};

static_assert(sizeof(KRL_Msg) == 24, "a queued message counts 24 bytes");

#endif  // LINKCORE_SRC_TASK_MESSAGE_H_
