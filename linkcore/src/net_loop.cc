#include "net_loop.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>

namespace linkcore {

namespace {
// The tag of the wake descriptor's events; no registration carries it (its
// generation is never handed out).
constexpr uint64_t kWakeTag = ~uint64_t{0};
constexpr uint32_t kWakeGeneration = ~uint32_t{0};
// Slots allocated before the first registration; the table doubles from
// there, up to the capacity.
constexpr size_t kInitialSlots = 1024;

uint64_t tagOf(ACE_HANDLE handle, uint32_t generation) {
  return (uint64_t{generation} << 32) | static_cast<uint32_t>(handle);
}

uint32_t epollEvents(unsigned interest) {
  uint32_t events = 0;
  if ((interest & KRL_NetLoop::kInput) != 0) events |= EPOLLIN;
  if ((interest & KRL_NetLoop::kOutput) != 0) events |= EPOLLOUT;
  return events;
}
}  // namespace

KRL_NetLoop::KRL_NetLoop(size_t capacity) : capacity_(capacity) {}

KRL_NetLoop::~KRL_NetLoop() {
  if (epoll_ != -1) ::close(epoll_);
  if (wake_ != -1) ::close(wake_);
}

bool KRL_NetLoop::open() {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ == -1) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("epoll_create1")));
    return false;
  }
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ == -1) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("eventfd")));
    return false;
  }
  epoll_event event = {};
  event.events = EPOLLIN;
  event.data.u64 = kWakeTag;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) == -1) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("epoll_ctl")));
    return false;
  }
  try {
    slots_.resize(std::min(kInitialSlots, capacity_));
    posted_.reserve(64);
    running_.reserve(64);
  } catch (const std::bad_alloc&) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("linkcore: no memory for a loop\n")));
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

void KRL_NetLoop::end() {
  {
    ACE_Guard<ACE_Thread_Mutex> guard(postLock_);
    ending_ = true;
  }
  const uint64_t one = 1;
  if (::write(wake_, &one, sizeof one) == -1 && errno != EAGAIN) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("eventfd write")));
  }
}

bool KRL_NetLoop::add(ACE_Event_Handler* handler, ACE_HANDLE handle,
                      unsigned interest) {
  if (!canHold(handle)) {
    errno = EMFILE;
    return false;
  }
  const size_t index = static_cast<size_t>(handle);
  ACE_Guard<ACE_Thread_Mutex> guard(slotLock_);
  if (index >= slots_.size()) {
    try {
      slots_.resize(std::min(std::max(slots_.size() * 2, index + 1),
                             capacity_));
    } catch (const std::bad_alloc&) {
      errno = ENOMEM;
      return false;
    }
  }
  Slot& slot = slots_[index];
  if (slot.generation != 0) {
    errno = EEXIST;
    return false;
  }
  const uint32_t generation = nextGeneration_;
  nextGeneration_ = nextGeneration_ + 1 == kWakeGeneration
                        ? 1
                        : nextGeneration_ + 1;
  if (!applyInterestLocked(handle, 0, interest, tagOf(handle, generation))) {
    return false;
  }
  slot.handler = handler;
  slot.interest = interest;
  slot.generation = generation;
  return true;
}

bool KRL_NetLoop::setInterest(ACE_HANDLE handle, unsigned interest) {
  if (!canHold(handle)) {
    errno = EBADF;
    return false;
  }
  const size_t index = static_cast<size_t>(handle);
  ACE_Guard<ACE_Thread_Mutex> guard(slotLock_);
  if (index >= slots_.size() || slots_[index].generation == 0) {
    errno = ENOENT;
    return false;
  }
  Slot& slot = slots_[index];
  if (!applyInterestLocked(handle, slot.interest, interest,
                           tagOf(handle, slot.generation))) {
    return false;
  }
  slot.interest = interest;
  return true;
}

void KRL_NetLoop::remove(ACE_HANDLE handle) {
  if (!canHold(handle)) return;
  const size_t index = static_cast<size_t>(handle);
  ACE_Guard<ACE_Thread_Mutex> guard(slotLock_);
  if (index >= slots_.size() || slots_[index].generation == 0) return;
  Slot& slot = slots_[index];
  if (slot.interest != 0) {
    epoll_event unused = {};
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, handle, &unused);
  }
  slot = Slot();
}

bool KRL_NetLoop::applyInterestLocked(ACE_HANDLE handle, unsigned from,
                                      unsigned to, uint64_t tag) {
  if (from == to) return true;
  epoll_event event = {};
  event.events = epollEvents(to);
  event.data.u64 = tag;
  const int operation = from == 0 ? EPOLL_CTL_ADD
                        : to == 0 ? EPOLL_CTL_DEL
                                  : EPOLL_CTL_MOD;
  return ::epoll_ctl(epoll_, operation, handle, &event) == 0;
}

bool KRL_NetLoop::post(Task task, void* argument) {
  bool wake = false;
  {
    ACE_Guard<ACE_Thread_Mutex> guard(postLock_);
    try {
      posted_.push_back(Posted{task, argument});
    } catch (const std::bad_alloc&) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("linkcore: no memory to post a task "
                                    "to a loop\n")));
      return false;
    }
    // One write per drain: the loop takes every task queued when it wakes.
    wake = !wakeSent_;
    wakeSent_ = true;
  }
  if (wake) {
    const uint64_t one = 1;
    if (::write(wake_, &one, sizeof one) == -1 && errno != EAGAIN) {
      // Only with a broken descriptor; the task stays queued for the next
      // wake.
      ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("eventfd write")));
    }
  }
  return true;
}

ACE_Event_Handler* KRL_NetLoop::lookup(uint64_t tag, unsigned* interest) {
  const size_t index = static_cast<uint32_t>(tag);
  const uint32_t generation = static_cast<uint32_t>(tag >> 32);
  ACE_Guard<ACE_Thread_Mutex> guard(slotLock_);
  if (index >= slots_.size() || slots_[index].generation != generation) {
    return nullptr;
  }
  *interest = slots_[index].interest;
  return slots_[index].handler;
}

void KRL_NetLoop::dispatch(uint64_t tag, uint32_t events) {
  const ACE_HANDLE handle = static_cast<ACE_HANDLE>(static_cast<uint32_t>(tag));
  // A hang-up or an error is met by the handler's own write or read.
  const bool failed = (events & (EPOLLERR | EPOLLHUP)) != 0;
  unsigned interest = 0;
  ACE_Event_Handler* handler = lookup(tag, &interest);
  if (handler == nullptr) return;  // removed earlier in this batch
  if (((events & EPOLLOUT) != 0 || failed) && (interest & kOutput) != 0) {
    handler->handle_output(handle);
    // The upcall may have removed the handler.
    handler = lookup(tag, &interest);
    if (handler == nullptr) return;
  }
  if (((events & EPOLLIN) != 0 || failed) && (interest & kInput) != 0) {
    handler->handle_input(handle);
  }
}

void KRL_NetLoop::runPosted() {
  {
    ACE_Guard<ACE_Thread_Mutex> guard(postLock_);
    running_.swap(posted_);
    wakeSent_ = false;
  }
  for (const Posted& posted : running_) posted.task(posted.argument);
  running_.clear();
}

void KRL_NetLoop::loop() {
  epoll_event events[kMaxEvents];
  for (;;) {
    const int ready = ::epoll_wait(epoll_, events, kMaxEvents, -1);
    if (ready == -1) {
      if (errno == EINTR) continue;
      ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("epoll_wait")));
      return;
    }
    bool woken = false;
    for (int i = 0; i < ready; ++i) {
      if (events[i].data.u64 == kWakeTag) {
        woken = true;
      } else {
        dispatch(events[i].data.u64, events[i].events);
      }
    }
    if (!woken) continue;
    // Cleared before the queue is taken: a task posted after the read
    // either is taken now or writes the descriptor again.
    uint64_t count;
    if (::read(wake_, &count, sizeof count) == -1 && errno != EAGAIN) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("eventfd read")));
    }
    {
      ACE_Guard<ACE_Thread_Mutex> guard(postLock_);
      if (ending_) return;
    }
    runPosted();
  }
}

ACE_THR_FUNC_RETURN KRL_NetLoop::run(void* self) {
  KRL_NetLoop* loop = static_cast<KRL_NetLoop*>(self);
  loop->loop();
  // Nothing of the loop may be touched after this: shutdown deletes it as
  // soon as every thread has been counted.
  loop->exitedThreads_->increment();
  return 0;
}

}  // namespace linkcore
