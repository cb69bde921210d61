// KRL_TaskPool: a worker pool on ACE_Task's synchronised message queue.
//
// Producers append 24-byte message blocks to the task's queue and block
// while it is full; threadCount workers take them in order and pass each one
// to the host's callback. Destroying the pool queues one stop request per
// worker behind the messages already queued, so every message put before the
// destroy is handled before the destructor returns.
#ifndef LINKCORE_SRC_TASK_POOL_H_
#define LINKCORE_SRC_TASK_POOL_H_

#include <ace/Barrier.h>
#include <ace/Task.h>

#include <memory>

#include "pool.h"
#include "task_message.h"

class KRL_TaskPool final : public KRL_Pool, public ACE_Task<ACE_MT_SYNCH> {
 public:
  // Builds the pool and starts threadCount workers. The queue holds at least
  // queueSize messages (and never fewer than its default of 16 KiB worth,
  // 683 messages) before producers block. If threads cannot be started the
  // failure is logged and the pool works with those that did start. Returns
  // null when the pool cannot be allocated or threadCount is negative.
  // Thread safe.
  static KRL_TaskPool* Create(int threadCount, int queueSize,
                              TaskCallback callback);

  // Runs every message queued so far, then ends and joins the workers.
  // Must not run on one of this pool's workers.
  ~KRL_TaskPool() override;

  // Queues a copy of the bytes, waiting while the queue is full. Returns the
  // number of messages queued after the put, or -1 when the queue refused
  // the message or the copy could not be allocated. Thread safe.
  int Put(const void* data, int length, uint64_t param);

 private:
  KRL_TaskPool(int threadCount, int queueSize, TaskCallback callback);

  // Worker body: runs on each pool thread.
  int svc() override;

  void StartWorkers();
  // Appends msg as a message block; on failure frees its bytes and returns -1.
  int Enqueue(KRL_Msg msg);
  // Frees what is left in the queue once no worker runs.
  void DropQueued();

  int threadCount_;  // workers actually started
  TaskCallback callback_;
  std::unique_ptr<ACE_Barrier> startBarrier_;
};

#endif  // LINKCORE_SRC_TASK_POOL_H_
