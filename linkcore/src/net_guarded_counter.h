// A 32-bit signed counter with a mutex of its own.
//
// The library keeps its id counter and its thread and deleted-handler
// counts in these. The mutex guards only the value; nothing else is ever
// taken while it is held.
#ifndef LINKCORE_NET_GUARDED_COUNTER_H_
#define LINKCORE_NET_GUARDED_COUNTER_H_

#include <stdint.h>

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

namespace linkcore {

class GuardedCounter {
 public:
  explicit GuardedCounter(int32_t initial = 0) : value_(initial) {}
  GuardedCounter(const GuardedCounter&) = delete;
  GuardedCounter& operator=(const GuardedCounter&) = delete;

  // Adds one and returns the value before. Wraps around instead of
  // overflowing. Thread safe.
  int32_t increment() {
    ACE_Guard<ACE_Thread_Mutex> guard(lock_);
    const int32_t before = value_;
    value_ = static_cast<int32_t>(static_cast<uint32_t>(value_) + 1u);
    return before;
  }

  // Subtracts one and returns the value before. Thread safe.
  int32_t decrement() {
    ACE_Guard<ACE_Thread_Mutex> guard(lock_);
    const int32_t before = value_;
    value_ = static_cast<int32_t>(static_cast<uint32_t>(value_) - 1u);
    return before;
  }

  // Subtracts count. Thread safe.
  void subtract(int32_t count) {
    ACE_Guard<ACE_Thread_Mutex> guard(lock_);
    value_ = static_cast<int32_t>(static_cast<uint32_t>(value_) -
                                  static_cast<uint32_t>(count));
  }

  // The current value. Thread safe.
  int32_t value() const {
    ACE_Guard<ACE_Thread_Mutex> guard(lock_);
    return value_;
  }

 private:
  mutable ACE_Thread_Mutex lock_;  // guards value_ only
  int32_t value_;
};

}  // namespace linkcore

#endif  // LINKCORE_NET_GUARDED_COUNTER_H_
