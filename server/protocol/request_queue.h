// RequestQueue: where heavy requests ("list", "dload": disk reads and
// compression) wait for a worker thread, so that the network threads only
// parse, dispatch and send, and a ping is answered at once whatever other
// clients ask.
//
// A link has at most one heavy request queued or running: its owner hands
// the link over (Submit) and handles none of its later frames until the
// request is done, which keeps its replies in request order. At most
// maxRunning workers take requests at a time; further links wait here in
// arrival order (one entry each, so the queue is bounded by the number of
// links). A worker runs one link's request, then handles the link's
// buffered frames up to its next heavy request (which goes to the back of
// the queue), then takes the next link.
//
// The workers are the program's (WorkerPool): the queue asks for one per
// link waiting, up to maxRunning, and each call of RunQueued serves links
// until the queue is empty.
#ifndef DIRSYNC_PROTOCOL_REQUEST_QUEUE_H_
#define DIRSYNC_PROTOCOL_REQUEST_QUEUE_H_

#include <deque>
#include <memory>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "protocol/client_link.h"

namespace dirsync {

class RequestQueue;

// The worker threads of a request queue. The program passes linkcore's
// pool; tests pass their own.
class WorkerPool {
 public:
  virtual ~WorkerPool() = default;
  // Arranges for queue.RunQueued() on a worker thread, soon. False when
  // that cannot be arranged (no memory). Thread safe; never blocks long.
  virtual bool Wake(RequestQueue& queue) = 0;
};

class RequestQueue {
 public:
  // pool must outlive the queue; maxRunning >= 1.
  RequestQueue(WorkerPool& pool, int maxRunning);
  RequestQueue(const RequestQueue&) = delete;
  RequestQueue& operator=(const RequestQueue&) = delete;

  // Takes over a link whose owner stored a heavy request in link.request;
  // the caller touches nothing of the link afterwards. Thread safe.
  void Submit(std::shared_ptr<ClientLink> link) EXCLUDES(lock_);

  // Runs waiting links until none is left. Called on a worker thread for
  // each Wake.
  void RunQueued() EXCLUDES(lock_);

  // Waits until no link waits and no worker runs one. Only once no
  // network event can submit more (the network is shut down, or no table
  // reaches this queue's links).
  void WaitIdle() EXCLUDES(lock_);

  // Links waiting and requests running. Thread safe.
  size_t WaitingCount() EXCLUDES(lock_);
  int RunningCount() EXCLUDES(lock_);

 private:
  WorkerPool& pool_;
  const int maxRunning_;
  // lock_ guards the queue and the count of running workers; held for
  // queue work only, never while a request runs.
  Mutex lock_;
  CondVar idle_;
  std::deque<std::shared_ptr<ClientLink>> waiting_ GUARDED_BY(lock_);
  // Calls of RunQueued asked for and not yet finished.
  int running_ GUARDED_BY(lock_) = 0;
};

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_REQUEST_QUEUE_H_
