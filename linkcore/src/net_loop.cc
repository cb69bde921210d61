#include "net_loop.h"

#include <ace/Dev_Poll_Reactor.h>
#include <ace/Log_Msg.h>

namespace linkcore {

KRL_NetLoop::KRL_NetLoop(size_t capacity) : capacity_(capacity) {}

KRL_NetLoop::~KRL_NetLoop() { delete reactor_; }

bool KRL_NetLoop::open() {
  // restart = true: an epoll_wait interrupted by a signal is simply resumed.
  ACE_Dev_Poll_Reactor* impl =
      new (std::nothrow) ACE_Dev_Poll_Reactor(capacity_, true);
  if (impl == nullptr || !impl->initialized()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("ACE_Dev_Poll_Reactor")));
    delete impl;
    return false;
  }
  reactor_ = new (std::nothrow) ACE_Reactor(impl, true);
  if (reactor_ == nullptr) {
    delete impl;
    return false;
  }
  return true;
}

bool KRL_NetLoop::start(GuardedCounter* exitedThreads) {
  exitedThreads_ = exitedThreads;
  // Detached: the library never joins its threads, it counts their exits.
  if (ACE_Thread::spawn(&KRL_NetLoop::run, this,
                        THR_NEW_LWP | THR_DETACHED) == -1) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("ACE_Thread::spawn")));
    return false;
  }
  return true;
}

void KRL_NetLoop::end() { reactor_->end_reactor_event_loop(); }

ACE_THR_FUNC_RETURN KRL_NetLoop::run(void* self) {
  KRL_NetLoop* loop = static_cast<KRL_NetLoop*>(self);
  loop->reactor_->run_reactor_event_loop();
  // Nothing of the loop may be touched after this: shutdown deletes it as
  // soon as every thread has been counted.
  loop->exitedThreads_->increment();
  return 0;
}

}  // namespace linkcore
