#include "protocol/request_queue.h"

#include <cassert>
#include <utility>

#include "protocol/frame_feed.h"
#include "protocol/thread_scratch.h"

namespace dirsync {

RequestQueue::RequestQueue(WorkerPool& pool, int maxRunning)
    : pool_(pool), maxRunning_(maxRunning) {
  assert(maxRunning >= 1);
}

void RequestQueue::Submit(std::shared_ptr<ClientLink> link) {
  bool wake = false;
  {
    MutexLock guard(&lock_);
    waiting_.push_back(std::move(link));
    if (running_ < maxRunning_) {
      ++running_;
      wake = true;
    }
  }
  if (!wake || pool_.Wake(*this)) return;
  // No worker could be had. The workers already running take the link in
  // turn; with none, the submitting thread serves it itself rather than
  // leave it stuck.
  bool serveHere;
  {
    MutexLock guard(&lock_);
    serveHere = running_ == 1;
    if (!serveHere) --running_;
  }
  if (serveHere) RunQueued();
}

void RequestQueue::RunQueued() {
  Scratch& scratch = ThreadScratch();
  for (;;) {
    std::shared_ptr<ClientLink> link;
    {
      MutexLock guard(&lock_);
      if (waiting_.empty()) {
        --running_;
        assert(running_ >= 0);
        if (running_ == 0) idle_.SignalAll();
        return;
      }
      link = std::move(waiting_.front());
      waiting_.pop_front();
    }
    RunHeavyAndContinue(link, scratch);
  }
}

void RequestQueue::WaitIdle() {
  MutexLock guard(&lock_);
  while (running_ != 0 || !waiting_.empty()) idle_.Wait(&lock_);
}

size_t RequestQueue::WaitingCount() {
  MutexLock guard(&lock_);
  return waiting_.size();
}

int RequestQueue::RunningCount() {
  MutexLock guard(&lock_);
  return running_;
}

}  // namespace dirsync
