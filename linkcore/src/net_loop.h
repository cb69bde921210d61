// One I/O thread with an epoll reactor of its own.
//
// Every connection lives on one loop for its whole life, so its upcalls
// (input, output, close) never run on two threads at once, and is destroyed
// there too: the last reference to a handler posts its destruction through
// the reactor's notify, which the loop's thread dispatches between upcalls.
// A reactor is never shared between threads: one thread per loop keeps the
// dispatch free of lock hand-offs between threads.
#ifndef LINKCORE_NET_LOOP_H_
#define LINKCORE_NET_LOOP_H_

#include <stddef.h>

#include <ace/Reactor.h>
#include <ace/Thread.h>

#include "net_guarded_counter.h"

namespace linkcore {

class KRL_NetLoop {
 public:
  // capacity: the highest descriptor number + 1 the reactor can hold.
  explicit KRL_NetLoop(size_t capacity);
  ~KRL_NetLoop();
  KRL_NetLoop(const KRL_NetLoop&) = delete;
  KRL_NetLoop& operator=(const KRL_NetLoop&) = delete;

  // Builds the reactor. False (logged) when it cannot be built.
  bool open();

  // Starts the loop's thread; when its event loop ends the thread
  // increments *exitedThreads and ends. False (logged) when no thread
  // could be started. Called once, by KRL_NetInit.
  bool start(GuardedCounter* exitedThreads);

  // Asks the event loop to end; returns at once. Thread safe.
  void end();

  // The loop's reactor. Registration calls on it are thread safe.
  ACE_Reactor* reactor() const { return reactor_; }

  // True when a descriptor of this number can be registered here.
  bool canHold(ACE_HANDLE handle) const {
    return handle >= 0 && static_cast<size_t>(handle) < capacity_;
  }

 private:
  static ACE_THR_FUNC_RETURN run(void* self);

  const size_t capacity_;
  ACE_Reactor* reactor_ = nullptr;  // owns its ACE_Dev_Poll_Reactor
  GuardedCounter* exitedThreads_ = nullptr;
};

}  // namespace linkcore

#endif  // LINKCORE_NET_LOOP_H_
