// LinkcoreWorkers: the worker threads of the request queue, a linkcore
// worker pool (KRL_TaskCreate). Each wake is one message whose param names
// the queue; the worker that takes it runs the queue's waiting links.
//
// The queue asks for at most as many wakes as it lets run at once, well
// under the pool's throttle, so a wake never blocks a network thread.
#ifndef DIRSYNC_APP_LINKCORE_WORKERS_H_
#define DIRSYNC_APP_LINKCORE_WORKERS_H_

#include "protocol/request_queue.h"

// linkcore's opaque pool (linkcore.h), named here without the library's
// header so that the server's headers stay free of it.
struct KRL_Pool;

namespace dirsync {

class LinkcoreWorkers final : public WorkerPool {
 public:
  // Starts threads workers. When the pool cannot be made, Wake fails and
  // the queue runs requests on the threads that submit them.
  explicit LinkcoreWorkers(int threads);
  // Destroys the pool: its workers finish what they run. Call once the
  // queue is idle (RequestQueue::WaitIdle), so that no wake is left.
  ~LinkcoreWorkers() override;
  LinkcoreWorkers(const LinkcoreWorkers&) = delete;
  LinkcoreWorkers& operator=(const LinkcoreWorkers&) = delete;

  bool Wake(RequestQueue& queue) override;

 private:
  KRL_Pool* pool_;
};

}  // namespace dirsync

#endif  // DIRSYNC_APP_LINKCORE_WORKERS_H_
