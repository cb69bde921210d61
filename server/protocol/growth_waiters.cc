#include "protocol/growth_waiters.h"

#include <utility>

#include "catalog/sync_task.h"
#include "platform/signals_blocked.h"
#include "protocol/request_queue.h"

namespace dirsync {

GrowthWaiters::GrowthWaiters(RequestQueue& requests) : requests_(requests) {}

GrowthWaiters::~GrowthWaiters() { Stop(); }

void GrowthWaiters::Start() {
  {
    MutexLock guard(&lock_);
    if (started_ || stopping_) return;
    started_ = true;
  }
  // Signals are taken by the thread that routes them.
  SignalsBlocked blocked;
  thread_ = std::thread([this] { Run(); });
}

void GrowthWaiters::Stop() {
  std::vector<Waiter> dropped;
  {
    MutexLock guard(&lock_);
    stopping_ = true;
    dropped.swap(waiters_);
    wake_.Signal();
  }
  if (thread_.joinable()) thread_.join();
  // The links go with `dropped`, outside the lock: the last reference may
  // be one of these.
}

bool GrowthWaiters::Park(std::shared_ptr<ClientLink> link,
                         Clock::time_point deadline) {
  MutexLock guard(&lock_);
  if (!started_ || stopping_) return false;
  waiters_.push_back(Waiter{std::move(link), deadline});
  // The store may have grown between the owner's look and now: the thread
  // looks again.
  looked_ = false;
  wake_.Signal();
  return true;
}

void GrowthWaiters::StoreGrew() {
  MutexLock guard(&lock_);
  if (waiters_.empty()) return;
  looked_ = false;
  wake_.Signal();
}

size_t GrowthWaiters::WaitingCount() {
  MutexLock guard(&lock_);
  return waiters_.size();
}

void GrowthWaiters::Run() {
  std::vector<std::shared_ptr<ClientLink>> ready;
  for (;;) {
    {
      MutexLock guard(&lock_);
      for (;;) {
        if (stopping_) return;
        // Who is to be answered now, and when the next wait ends.
        const Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        size_t kept = 0;
        for (Waiter& waiter : waiters_) {
          ClientLink& link = *waiter.link;
          // A store compacted meanwhile counts as grown: the answer sends
          // the client to the new one.
          const bool grown =
              link.task->store.storeSize.load(std::memory_order_acquire) >
                  link.request.pos ||
              link.task->storeId.load(std::memory_order_relaxed) != link.storeId;
          if (grown || now >= waiter.deadline ||
              link.closed.load(std::memory_order_acquire)) {
            ready.push_back(std::move(waiter.link));
          } else {
            if (waiter.deadline < next) next = waiter.deadline;
            waiters_[kept++] = std::move(waiter);
          }
        }
        waiters_.resize(kept);
        looked_ = true;
        if (!ready.empty()) break;
        while (looked_ && !stopping_) {
          if (next == Clock::time_point::max()) {
            wake_.Wait(&lock_);
          } else {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  next - Clock::now()) +
                              std::chrono::milliseconds(1);
            if (left.count() <= 0 || wake_.WaitFor(&lock_, left)) break;
          }
        }
      }
      if (waiters_.capacity() > 64 && waiters_.size() < waiters_.capacity() / 4) {
        waiters_.shrink_to_fit();
      }
    }
    // The worker answers the wait (with the store's size then) and takes
    // on the link's buffered frames.
    for (std::shared_ptr<ClientLink>& link : ready) requests_.Submit(std::move(link));
    ready.clear();
  }
}

}  // namespace dirsync
