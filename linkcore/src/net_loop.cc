#include "net_loop.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <new>

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

// What the thread running now owes, while it delivers a batch of the loop
// it serves; null on any other thread.
struct CurrentDelivery {
  const KRL_NetLoop* loop = nullptr;
  void* delivery = nullptr;
};
thread_local CurrentDelivery tl_current;

uint64_t tagOf(ACE_HANDLE handle, uint32_t generation) {
  return (uint64_t{generation} << 32) | static_cast<uint32_t>(handle);
}

uint32_t epollEvents(unsigned interest) {
  // Edge-triggered: each change is reported once, and nothing has to be
  // re-armed after it.
  uint32_t events = EPOLLET;
  // The peer's end of input is asked for as well: a read that empties the
  // socket of data does not see it, and it brings no further change.
  if ((interest & KRL_NetLoop::kInput) != 0) events |= EPOLLIN | EPOLLRDHUP;
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
  // Level-triggered: every seated thread sees it until it is drained, and
  // at the end it is never drained, so each thread sees the end.
  epoll_event event = {};
  event.events = EPOLLIN;
  event.data.u64 = kWakeTag;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) == -1) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("epoll_ctl")));
    return false;
  }
  try {
    slots_.resize(std::min(kInitialSlots, capacity_));
    sharedPosted_.reserve(64);
  } catch (const std::bad_alloc&) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("linkcore: no memory for a loop\n")));
    return false;
  }
  return true;
}

int KRL_NetLoop::start(int threadCount, int pollers,
                       GuardedCounter* exitedThreads) {
  exitedThreads_ = exitedThreads;
  threads_ = std::max(threadCount, 0);
  progress_.reset(new (std::nothrow) Progress[threads_ > 0 ? threads_ : 1]);
  if (progress_ == nullptr) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("linkcore: no memory for a loop\n")));
    // Counted as ended, so shutdown goes on.
    for (int i = 0; i < threads_; ++i) exitedThreads_->increment();
    return 0;
  }
  {
    std::lock_guard<std::mutex> guard(seatLock_);
    pollers_ = std::clamp(pollers, 1, std::max(threads_, 1));
    seatsNow_.store(pollers_);
  }
  int started = 0;
  for (int i = 0; i < threads_; ++i) {
    // Detached: the library never joins its threads, it counts their
    // exits.
    if (ACE_Thread::spawn(&KRL_NetLoop::run, this,
                          THR_NEW_LWP | THR_DETACHED) == -1) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("ACE_Thread::spawn")));
      exitedThreads_->increment();  // counted as ended, so shutdown goes on
    } else {
      ++started;
    }
  }
  return started;
}

void KRL_NetLoop::end() {
  {
    std::lock_guard<std::mutex> guard(seatLock_);
    ending_.store(true);
  }
  seatFree_.notify_all();
  const uint64_t one = 1;
  if (::write(wake_, &one, sizeof one) == -1 && errno != EAGAIN) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("eventfd write")));
  }
}

void KRL_NetLoop::rescueIfStalled() {
  if (progress_ == nullptr) return;
  std::lock_guard<std::mutex> guard(seatLock_);
  int stuck = 0;
  for (int i = 0; i < threads_; ++i) {
    Progress& progress = progress_[i];
    const uint64_t stamp = progress.stamp.load(std::memory_order_relaxed);
    // Odd: inside a batch; the same as at the last check: the same batch.
    if ((stamp & 1) != 0 && stamp == progress.lastChecked) ++stuck;
    progress.lastChecked = stamp;
  }
  const int seats = std::min(pollers_ + stuck, threads_);
  const int before = seatsNow_.exchange(seats);
  if (seats > before) seatFree_.notify_all();
  // Fewer seats: a thread over the count gives its seat back after its
  // batch.
}

bool KRL_NetLoop::takeSeat() {
  std::unique_lock<std::mutex> guard(seatLock_);
  seatFree_.wait(guard, [this] {
    return ending_.load() || seated_.load() < seatsNow_.load();
  });
  if (ending_.load()) return false;
  seated_.fetch_add(1);
  return true;
}

bool KRL_NetLoop::giveBackSeat() {
  std::lock_guard<std::mutex> guard(seatLock_);
  if (seated_.load() <= seatsNow_.load()) return false;
  seated_.fetch_sub(1);
  return true;
}

void KRL_NetLoop::leaveSeat() {
  {
    std::lock_guard<std::mutex> guard(seatLock_);
    seated_.fetch_sub(1);
  }
  seatFree_.notify_one();
}

bool KRL_NetLoop::add(ACE_Event_Handler* handler, ACE_HANDLE handle,
                      unsigned interest) {
  if (!canHold(handle)) {
    errno = EMFILE;
    return false;
  }
  const size_t index = static_cast<size_t>(handle);
  std::lock_guard<std::mutex> guard(slotLock_);
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
  slot = Slot();
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
  std::lock_guard<std::mutex> guard(slotLock_);
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
  std::lock_guard<std::mutex> guard(slotLock_);
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
  // Adding or modifying makes the kernel check the descriptor at once, so
  // what became ready while it was not watched is reported now.
  const int operation = from == 0 ? EPOLL_CTL_ADD
                        : to == 0 ? EPOLL_CTL_DEL
                                  : EPOLL_CTL_MOD;
  return ::epoll_ctl(epoll_, operation, handle, &event) == 0;
}

void KRL_NetLoop::requestInput(ACE_HANDLE handle) {
  if (!canHold(handle)) return;
  const size_t index = static_cast<size_t>(handle);
  uint64_t tag;
  {
    std::lock_guard<std::mutex> guard(slotLock_);
    if (index >= slots_.size() || slots_[index].generation == 0) return;
    Slot& slot = slots_[index];
    if (slot.claimed) {
      // The thread delivering to it calls it again when its upcall ends.
      slot.pending |= EPOLLIN;
      return;
    }
    tag = tagOf(handle, slot.generation);
  }
  if (tl_current.loop == this) {
    static_cast<Delivery*>(tl_current.delivery)->inputs.push_back(tag);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(sharedLock_);
    try {
      sharedInputs_.push_back(tag);
    } catch (const std::bad_alloc&) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("linkcore: no memory to request input "
                                    "from a loop\n")));
      return;
    }
    if (wakeSent_) return;
    wakeSent_ = true;
  }
  wake();
}

bool KRL_NetLoop::post(Task task, void* argument) {
  if (tl_current.loop == this) {
    try {
      static_cast<Delivery*>(tl_current.delivery)
          ->posted.push_back(Posted{task, argument});
      return true;
    } catch (const std::bad_alloc&) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("linkcore: no memory to post a task "
                                    "to a loop\n")));
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> guard(sharedLock_);
    try {
      sharedPosted_.push_back(Posted{task, argument});
    } catch (const std::bad_alloc&) {
      ACE_ERROR((LM_ERROR, ACE_TEXT("linkcore: no memory to post a task "
                                    "to a loop\n")));
      return false;
    }
    // One write per drain: a thread takes everything queued when it wakes.
    if (wakeSent_) return true;
    wakeSent_ = true;
  }
  wake();
  return true;
}

void KRL_NetLoop::wake() {
  const uint64_t one = 1;
  if (::write(wake_, &one, sizeof one) == -1 && errno != EAGAIN) {
    // Only with a broken descriptor; the work stays queued for the next
    // wake.
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("eventfd write")));
  }
}

void KRL_NetLoop::takeShared(Delivery* delivery) {
  // Cleared before the queue is taken: work queued after the read either
  // is taken now or writes the descriptor again.
  uint64_t count;
  if (::read(wake_, &count, sizeof count) == -1 && errno != EAGAIN) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("eventfd read")));
  }
  std::lock_guard<std::mutex> guard(sharedLock_);
  wakeSent_ = false;
  delivery->posted.insert(delivery->posted.end(), sharedPosted_.begin(),
                          sharedPosted_.end());
  sharedPosted_.clear();
  delivery->inputs.insert(delivery->inputs.end(), sharedInputs_.begin(),
                          sharedInputs_.end());
  sharedInputs_.clear();
}

void KRL_NetLoop::dispatch(uint64_t tag, uint32_t events, bool claimed,
                           Delivery* delivery) {
  const size_t index = static_cast<uint32_t>(tag);
  const uint32_t generation = static_cast<uint32_t>(tag >> 32);
  const ACE_HANDLE handle = static_cast<ACE_HANDLE>(index);
  ACE_Event_Handler* handler;
  unsigned interest;
  {
    std::lock_guard<std::mutex> guard(slotLock_);
    // Gone: removed earlier in this batch or on another thread.
    if (index >= slots_.size() || slots_[index].generation != generation) {
      return;
    }
    Slot& slot = slots_[index];
    if (!claimed) {
      if (slot.claimed) {
        slot.pending |= events;  // its deliverer takes it
        return;
      }
      slot.claimed = true;
    }
    events |= slot.pending;
    slot.pending = 0;
    handler = slot.handler;
    interest = slot.interest;
  }
  for (;;) {
    // A hang-up or an error is met by the handler's own write or read.
    const bool failed = (events & (EPOLLERR | EPOLLHUP)) != 0;
    // The end of the input (or of the connection) is reported once: the
    // handler is called again until it has read it, that is until it no
    // longer wants input.
    const uint32_t ended = events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
    bool again = false;
    if (((events & EPOLLOUT) != 0 || failed) && (interest & kOutput) != 0) {
      handler->handle_output(handle);
      std::lock_guard<std::mutex> guard(slotLock_);
      // The upcall may have removed the handler.
      if (index >= slots_.size() || slots_[index].generation != generation) {
        return;
      }
      interest = slots_[index].interest;
    }
    if (((events & (EPOLLIN | EPOLLRDHUP)) != 0 || failed) &&
        (interest & kInput) != 0) {
      again = handler->handle_input(handle) > 0 || ended != 0;
    }
    std::lock_guard<std::mutex> guard(slotLock_);
    if (index >= slots_.size() || slots_[index].generation != generation) {
      return;
    }
    Slot& slot = slots_[index];
    if (again) {
      // Still claimed; the rest waits for the other ready descriptors.
      try {
        delivery->again.push_back(Owed{tag, EPOLLIN | ended});
        return;
      } catch (const std::bad_alloc&) {
        slot.pending |= EPOLLIN | ended;  // delivered now rather than lost
      }
    }
    if (slot.pending == 0) {
      slot.claimed = false;
      return;
    }
    events = slot.pending;
    slot.pending = 0;
    interest = slot.interest;
  }
}

bool KRL_NetLoop::deliver(const epoll_event* events, int ready,
                          std::vector<Owed>* owed, Delivery* delivery) {
  bool woken = false;
  for (int i = 0; i < ready; ++i) {
    if (events[i].data.u64 == kWakeTag) {
      woken = true;
    } else {
      dispatch(events[i].data.u64, events[i].events, false, delivery);
    }
  }
  // The calls owed from the previous round, after the new events.
  for (const Owed& call : *owed) {
    dispatch(call.tag, call.events, true, delivery);
  }
  owed->clear();
  if (woken) {
    takeShared(delivery);
    // The end's wake may be the one just drained: it is written again for
    // the other threads.
    if (ending_.load()) {
      wake();
      return false;
    }
  }
  // Input asked for, and tasks; either may add more of both.
  while (!delivery->inputs.empty() || !delivery->posted.empty()) {
    std::vector<uint64_t> inputs;
    inputs.swap(delivery->inputs);
    for (uint64_t tag : inputs) dispatch(tag, EPOLLIN, false, delivery);
    std::vector<Posted> posted;
    posted.swap(delivery->posted);
    for (const Posted& task : posted) task.task(task.argument);
  }
  return true;
}

void KRL_NetLoop::serve(Progress* progress) {
  epoll_event events[kMaxEvents];
  Delivery delivery;
  std::vector<Owed> owed;
  uint64_t batches = 0;
  while (takeSeat()) {
    for (;;) {
      // Calls owed: look for new events without sleeping.
      owed.swap(delivery.again);
      const int ready =
          ::epoll_wait(epoll_, events, kMaxEvents, owed.empty() ? -1 : 0);
      if (ready == -1 && errno != EINTR) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("epoll_wait")));
        leaveSeat();
        return;
      }
      progress->stamp.store(++batches * 2 + 1, std::memory_order_relaxed);
      tl_current.loop = this;
      tl_current.delivery = &delivery;
      const bool going = deliver(events, std::max(ready, 0), &owed, &delivery);
      tl_current.loop = nullptr;
      tl_current.delivery = nullptr;
      progress->stamp.store(batches * 2, std::memory_order_relaxed);
      if (!going) {
        leaveSeat();
        return;
      }
      // A seat over the count goes back, once nothing is owed on it.
      if (delivery.again.empty() &&
          seated_.load(std::memory_order_relaxed) >
              seatsNow_.load(std::memory_order_relaxed) &&
          giveBackSeat()) {
        break;
      }
    }
  }
}

ACE_THR_FUNC_RETURN KRL_NetLoop::run(void* self) {
  KRL_NetLoop* loop = static_cast<KRL_NetLoop*>(self);
  const int index = loop->nextThread_.fetch_add(1);
  loop->serve(&loop->progress_[index]);
  // Nothing of the loop may be touched after this: shutdown deletes it as
  // soon as every thread has been counted.
  loop->exitedThreads_->increment();
  return 0;
}

}  // namespace linkcore
