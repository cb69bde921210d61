#include "app/login_deadlines.h"

#include <iterator>
#include <system_error>

#include "platform/log.h"

namespace dirsync {

LoginDeadlines::~LoginDeadlines() {
  {
    MutexLock guard(&lock_);
    stopping_ = true;
    changed_.SignalAll();
  }
  if (thread_.joinable()) thread_.join();
}

void LoginDeadlines::SetTimeout(std::chrono::milliseconds timeout) {
  MutexLock guard(&lock_);
  timeout_ = timeout;
}

std::chrono::milliseconds LoginDeadlines::timeout() {
  MutexLock guard(&lock_);
  return timeout_;
}

void LoginDeadlines::Add(uint64_t id) {
  MutexLock guard(&lock_);
  RemoveLocked(id);
  const Entry entry{Clock::now() + timeout_, id};
  // Deadlines mostly arrive in order; one set after a shorter timeout
  // finds its place from the back.
  auto place = order_.end();
  while (place != order_.begin() &&
         std::prev(place)->deadline > entry.deadline) {
    --place;
  }
  byId_[id] = order_.insert(place, entry);
  if (place == order_.begin()) changed_.SignalAll();  // a new earliest one
  if (!started_) {
    try {
      thread_ = std::thread([this] { ThreadMain(); });
      started_ = true;
    } catch (const std::system_error& e) {
      // No thread to be had now (a thread limit): the next connection
      // tries again; until then deadlines wait, none is lost.
      LogPrint("%D The login deadline thread cannot start (%s); retried at "
               "the next connection\n",
               e.what());
    }
  }
}

void LoginDeadlines::Remove(uint64_t id) {
  MutexLock guard(&lock_);
  RemoveLocked(id);
}

size_t LoginDeadlines::Count() {
  MutexLock guard(&lock_);
  return order_.size();
}

void LoginDeadlines::RemoveLocked(uint64_t id) {
  auto it = byId_.find(id);
  if (it == byId_.end()) return;
  order_.erase(it->second);
  byId_.erase(it);
}

void LoginDeadlines::ThreadMain() {
  lock_.Lock();
  while (!stopping_) {
    if (order_.empty()) {
      changed_.Wait(&lock_);
      continue;
    }
    const Entry first = order_.front();
    const Clock::time_point now = Clock::now();
    if (now < first.deadline) {
      // Rounded up, so that the wait never ends just before the deadline.
      changed_.WaitFor(&lock_, std::chrono::ceil<std::chrono::milliseconds>(
                                   first.deadline - now));
      continue;
    }
    RemoveLocked(first.id);
    // The expire function closes connections, whose close events come
    // back through Remove.
    lock_.Unlock();
    expire_(first.id);
    lock_.Lock();
  }
  lock_.Unlock();
}

}  // namespace dirsync
