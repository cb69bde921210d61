// WakeEvent: an auto-reset event for one waiting thread.
//
// Signal sets the event; Wait returns once it is set and clears it again,
// so each Signal releases one Wait, whichever comes first. A mutex,
// a condition variable and a flag give this without a system call when
// nobody is waiting (unlike a C++ semaphore, whose release always wakes
// through the kernel), which matters when a pool hands over each message
// to an idle worker.
#ifndef LINKCORE_SRC_WAKE_EVENT_H_
#define LINKCORE_SRC_WAKE_EVENT_H_

#include <condition_variable>
#include <mutex>

class WakeEvent {
 public:
  // Sets the event. Thread safe.
  void Signal() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      signalled_ = true;
    }
    signal_.notify_one();
  }

  // Waits without limit until the event is set, then clears it. For one
  // waiting thread at a time.
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    signal_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
  }

 private:
  std::mutex mutex_;  // guards signalled_ only
  std::condition_variable signal_;
  bool signalled_ = false;
};

#endif  // LINKCORE_SRC_WAKE_EVENT_H_
