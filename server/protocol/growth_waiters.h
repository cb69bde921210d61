// GrowthWaiters: clients that asked with "wait" to be answered as soon as
// their task's store grows past their position, or when the wait they
// named has passed.
//
// A waiting link is held here with its input held (the network reads
// nothing more from it, as for a heavy request), one entry per link, so
// the waiters are bounded by the number of connections. Stores tell the
// waiters when they grow (StoreGrowthListener); a thread of its own then
// looks at every waiter and hands those whose store has grown, whose time
// is up or whose connection is closed to the request queue, whose worker
// answers the wait and goes on with the link's buffered frames. With no
// waiter the thread sleeps without a deadline, so waiting costs nothing.
#ifndef DIRSYNC_PROTOCOL_GROWTH_WAITERS_H_
#define DIRSYNC_PROTOCOL_GROWTH_WAITERS_H_

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "catalog/store_growth.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "protocol/client_link.h"

namespace dirsync {

class RequestQueue;

class GrowthWaiters : public StoreGrowthListener {
 public:
  using Clock = std::chrono::steady_clock;

  // requests must outlive this object.
  explicit GrowthWaiters(RequestQueue& requests);
  ~GrowthWaiters() override;
  GrowthWaiters(const GrowthWaiters&) = delete;
  GrowthWaiters& operator=(const GrowthWaiters&) = delete;

  // Starts the thread that answers waiters. Main thread.
  void Start();
  // Ends the thread and lets go of every waiter unanswered (their
  // connections are being closed). Main thread; idempotent.
  void Stop() EXCLUDES(lock_);

  // Takes over a logged-in link whose owner stored a wait in link.request
  // (its input held), to be handed to the request queue once the link's
  // store holds more than link.request.pos bytes or at the deadline.
  // False when the waiters have stopped: the caller answers at once.
  // Runs on the link's owner.
  bool Park(std::shared_ptr<ClientLink> link, Clock::time_point deadline)
      EXCLUDES(lock_);

  // A store grew. Any thread (a store's writer); returns at once.
  void StoreGrew() override EXCLUDES(lock_);

  // Links waiting. Thread safe.
  size_t WaitingCount() EXCLUDES(lock_);

 private:
  struct Waiter {
    std::shared_ptr<ClientLink> link;
    Clock::time_point deadline;
  };

  void Run() EXCLUDES(lock_);

  RequestQueue& requests_;
  // lock_ guards the waiters and the flags; held for list work only, never
  // while a link is handed on.
  Mutex lock_;
  CondVar wake_;  // a waiter arrived, a store grew, or the stop was asked
  std::vector<Waiter> waiters_ GUARDED_BY(lock_);
  bool looked_ GUARDED_BY(lock_) = true;  // nothing new since the last look
  bool started_ GUARDED_BY(lock_) = false;
  bool stopping_ GUARDED_BY(lock_) = false;
  std::thread thread_;
};

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_GROWTH_WAITERS_H_
