// KRL_TaskPoolEx: a worker pool on preallocated message records.
//
// Records come from a free list built at creation (queue size + 1024, at
// least 2048). A put hands its record straight to the worker that became
// idle most recently, waking only that worker through its own event; with
// no idle worker the record joins a FIFO queue. Producers are throttled while
// fewer than 1024 records are free, which leaves room for bursts from many
// producers at once; should the free list still run dry, a record is
// allocated on its own ("new KRL_Msg" on standard output).
//
// Destroying the pool stops every worker after its current message; messages
// still queued are dropped without their callback and their bytes freed.
#ifndef LINKCORE_SRC_TASK_POOL_EX_H_
#define LINKCORE_SRC_TASK_POOL_EX_H_

#include <ace/Barrier.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pool.h"
#include "task_message.h"
#include "wake_event.h"

class KRL_TaskPoolEx final : public KRL_Pool {
 public:
  // Free records below which producers wait.
  static constexpr int kLowFree = 1024;

  // Builds the pool with max(queueSize + 1024, 2048) records and starts
  // threadCount workers. If threads cannot be started the failure is logged
  // and the pool works with those that did start. Returns null when the
  // pool cannot be allocated or threadCount is negative. Thread safe.
  static KRL_TaskPoolEx* Create(int threadCount, int queueSize,
                                TaskCallback callback);

  // Stops every worker after its current message and joins it; queued
  // messages are dropped. Must not run on one of this pool's workers, nor
  // while another thread is inside Put.
  ~KRL_TaskPoolEx() override;

  // Copies the bytes and hands them to the most recently idle worker
  // (returns 1) or queues them (returns 0), first waiting while fewer than
  // kLowFree records are free. Returns -1 only when memory for the copy or
  // for an extra record cannot be allocated. Thread safe.
  int Put(const void* data, int length, uint64_t param);

 private:
  // A message record: in the free list, in the queue, or with a worker.
  struct Record {
    enum Origin {
      kArray,    // one of the preallocated records: back to the free list
      kHeap,     // allocated because the free list was empty: freed
      kReserve,  // a stop request set aside for the destructor: kept
    };
    KRL_Msg msg;
    Record* next = nullptr;
    Origin origin = kArray;
  };

  // An idle worker's place in waitingWorkers. The producer that pops it
  // stores the record in message and then signals wake, so the worker
  // reads message without further locking.
  struct Waiter {
    Waiter* next = nullptr;
    Record* message = nullptr;
    WakeEvent wake;
  };

  explicit KRL_TaskPoolEx(TaskCallback callback);

  // Builds the free list and the stop records; false when out of memory.
  bool AllocateRecords(int64_t count, int threadCount);
  // Starts the workers; false when the barrier cannot be allocated.
  bool StartWorkers(int threadCount);
  // Worker body: runs on each pool thread with its own waiter.
  void WorkerMain(Waiter* waiter);

  // Producer side.
  // Waits while fewer than kLowFree records are free.
  void WaitForFreeRecords();
  // Puts the bytes in a free record and delivers it; with the free list
  // empty, in a record of its own. Returns 1 handed over, 0 queued, -1 when
  // out of memory.
  int Deliver(const KRL_Msg& msg);
  // Hands the record to the most recently idle worker (returns that
  // worker's waiter) or queues it (returns null). queueLock_ held.
  Waiter* HandOverLocked(Record* record);

  // Worker side.
  // Puts the worker's finished record (if any) back and takes the next
  // message, waiting as an idle worker when the queue is empty.
  Record* ExchangeRecord(Record* finished, Waiter* waiter);
  // Puts a finished record back where it came from; returns the new number
  // of free records, or -1 when the record is not one of the array's.
  int RecycleLocked(Record* record);
  // Wakes waiting producers once enough records are free again.
  void WakeProducers(int freeCount);

  TaskCallback callback_;
  std::atomic<bool> running_{true};
  int threadCount_;  // workers actually started

  // queueLock_ guards everything below up to freeWaitLock_.
  std::mutex queueLock_;
  Record* queueHead_ = nullptr;
  Record* queueTail_ = nullptr;
  Record* freeList_ = nullptr;
  Waiter* waitingWorkers_ = nullptr;  // most recently idle first
  // Written under queueLock_ only; atomic so that producers can skip the
  // throttle without taking a lock when plenty of records are free.
  std::atomic<int> freeCount_{0};

  // freeWaitLock_ only serves the producer throttle; it is never taken
  // while queueLock_ is held.
  std::mutex freeWaitLock_;
  std::condition_variable freeWait_;
  // Producers inside the throttle's slow path; changed under freeWaitLock_,
  // read by workers to skip waking when nobody waits.
  std::atomic<int> throttledProducers_{0};

  std::unique_ptr<Record[]> records_;
  // One stop request per worker, set aside at creation so that a destroy
  // never needs memory and never waits for free records.
  std::unique_ptr<Record[]> stopRecords_;
  // Waiters belong to the pool, not to the worker's stack, so a producer
  // still inside release() never touches a finished worker's memory.
  std::vector<std::unique_ptr<Waiter>> waiters_;
  std::unique_ptr<ACE_Barrier> startBarrier_;
  std::vector<std::thread> workers_;
};

#endif  // LINKCORE_SRC_TASK_POOL_EX_H_
