#include "task_pool_ex.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <new>
#include <system_error>

KRL_TaskPoolEx* KRL_TaskPoolEx::Create(int threadCount, int queueSize,
                                       TaskCallback callback) {
  if (threadCount < 0) return nullptr;
  const int64_t recordCount =
      std::max<int64_t>(int64_t{queueSize} + kLowFree, 2048);
  try {
    std::unique_ptr<KRL_TaskPoolEx> pool(new KRL_TaskPoolEx(callback));
    if (!pool->AllocateRecords(recordCount, threadCount)) return nullptr;
    if (!pool->StartWorkers(threadCount)) return nullptr;
    return pool.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

KRL_TaskPoolEx::KRL_TaskPoolEx(TaskCallback callback)
    : callback_(callback), threadCount_(0) {}

bool KRL_TaskPoolEx::AllocateRecords(int64_t count, int threadCount) {
  if (count > INT_MAX) return false;
  records_.reset(new (std::nothrow) Record[count]);
  stopRecords_.reset(new (std::nothrow) Record[threadCount]);
  if (records_ == nullptr || stopRecords_ == nullptr) return false;
  for (int64_t i = 0; i + 1 < count; ++i) records_[i].next = &records_[i + 1];
  for (int i = 0; i < threadCount; ++i) {
    stopRecords_[i].origin = Record::kReserve;
    stopRecords_[i].msg = KRL_Msg::MakeStop();
  }
  freeList_ = &records_[0];
  freeCount_ = static_cast<int>(count);
  return true;
}

bool KRL_TaskPoolEx::StartWorkers(int threadCount) {
  startBarrier_.reset(new (std::nothrow)
                          ACE_Barrier(static_cast<unsigned>(threadCount)));
  if (startBarrier_ == nullptr) return false;
  // Everything that may run out of memory happens before the first thread
  // starts, so that a failure leaves no thread behind.
  waiters_.reserve(threadCount);
  workers_.reserve(threadCount);
  for (int i = 0; i < threadCount; ++i) {
    waiters_.push_back(std::make_unique<Waiter>());
  }
  for (int i = 0; i < threadCount; ++i) {
    try {
      Waiter* waiter = waiters_[i].get();
      workers_.emplace_back([this, waiter] { WorkerMain(waiter); });
    } catch (const std::system_error& e) {
      errno = e.code().value();
      ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"),
                 ACE_TEXT("KRL_TaskPoolEx::open")));
      break;
    }
  }
  threadCount_ = static_cast<int>(workers_.size());
  // Threads already started wait at the barrier for the whole count;
  // release them so the pool runs with those alone.
  if (threadCount_ < threadCount) startBarrier_->shutdown();
  return true;
}

KRL_TaskPoolEx::~KRL_TaskPoolEx() {
  // A busy worker sees running_ cleared after its current message and
  // ends; an idle one is woken by a stop request. One request per worker
  // covers both cases; those nobody takes stay queued and are dropped.
  running_.store(false);
  for (int i = 0; i < threadCount_; ++i) {
    Waiter* waiter;
    {
      std::lock_guard<std::mutex> lock(queueLock_);
      waiter = HandOverLocked(&stopRecords_[i]);
    }
    if (waiter != nullptr) waiter->wake.Signal();
  }
  for (std::thread& worker : workers_) worker.join();

  // No thread is left: drop the queued messages without their callback.
  for (Record* record = queueHead_; record != nullptr;) {
    Record* next = record->next;
    record->msg.FreeData();
    if (record->origin == Record::kHeap) delete record;
    record = next;
  }
}

int KRL_TaskPoolEx::Put(const void* data, int length, uint64_t param) {
  KRL_Msg msg;
  if (!KRL_Msg::MakeData(data, length, param, &msg)) return -1;
  WaitForFreeRecords();
  const int result = Deliver(msg);
  if (result == -1) msg.FreeData();
  return result;
}

void KRL_TaskPoolEx::WaitForFreeRecords() {
  if (freeCount_.load() >= kLowFree) return;
  std::unique_lock<std::mutex> throttle(freeWaitLock_);
  throttledProducers_.fetch_add(1);
  // freeCount_ changes under queueLock_; taking it orders this read after
  // the last change, so a worker that frees records either is seen here or
  // sees throttledProducers_ and wakes us.
  auto freeCount = [this] {
    std::lock_guard<std::mutex> lock(queueLock_);
    return freeCount_.load();
  };
  while (freeCount() < kLowFree) freeWait_.wait(throttle);
  throttledProducers_.fetch_sub(1);
}

int KRL_TaskPoolEx::Deliver(const KRL_Msg& msg) {
  Record* record = nullptr;
  Waiter* waiter = nullptr;
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    if (freeList_ != nullptr) {
      record = freeList_;
      freeList_ = record->next;
      freeCount_.store(freeCount_.load() - 1);
      record->msg = msg;
      waiter = HandOverLocked(record);
    }
  }
  if (record == nullptr) {
    // Producers passed the throttle together and emptied the list.
    record = new (std::nothrow) Record;
    if (record == nullptr) return -1;
    record->origin = Record::kHeap;
    record->msg = msg;
    std::fputs("new KRL_Msg\n", stdout);
    std::lock_guard<std::mutex> lock(queueLock_);
    waiter = HandOverLocked(record);
  }
  if (waiter == nullptr) return 0;
  waiter->wake.Signal();
  return 1;
}

KRL_TaskPoolEx::Waiter* KRL_TaskPoolEx::HandOverLocked(Record* record) {
  record->next = nullptr;
  if (waitingWorkers_ != nullptr) {
    Waiter* waiter = waitingWorkers_;
    waitingWorkers_ = waiter->next;
    waiter->next = nullptr;
    waiter->message = record;
    return waiter;
  }
  if (queueTail_ != nullptr) {
    queueTail_->next = record;
  } else {
    queueHead_ = record;
  }
  queueTail_ = record;
  return nullptr;
}

void KRL_TaskPoolEx::WorkerMain(Waiter* waiter) {
  MarkCallingThreadAsWorker();
  // -1 only when a failed start shut the barrier down; go on regardless.
  startBarrier_->wait();
  if (!running_.load()) return;
  Record* record = ExchangeRecord(nullptr, waiter);
  for (;;) {
    const bool stop = record->msg.type == KRL_Msg::kStop;
    if (record->msg.type == KRL_Msg::kData && callback_ != nullptr) {
      callback_(this, record->msg.data, record->msg.length,
                record->msg.param);
    }
    record->msg.FreeData();
    if (stop || !running_.load()) break;
    record = ExchangeRecord(record, waiter);
  }
  int freeCount;
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    freeCount = RecycleLocked(record);
  }
  WakeProducers(freeCount);
}

KRL_TaskPoolEx::Record* KRL_TaskPoolEx::ExchangeRecord(Record* finished,
                                                       Waiter* waiter) {
  int freeCount = -1;
  Record* next = nullptr;
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    if (finished != nullptr) freeCount = RecycleLocked(finished);
    if (queueHead_ != nullptr) {
      next = queueHead_;
      queueHead_ = next->next;
      if (queueHead_ == nullptr) queueTail_ = nullptr;
      next->next = nullptr;
    } else {
      waiter->next = waitingWorkers_;
      waitingWorkers_ = waiter;
    }
  }
  WakeProducers(freeCount);
  if (next != nullptr) return next;
  waiter->wake.Wait();
  next = waiter->message;
  waiter->message = nullptr;
  return next;
}

int KRL_TaskPoolEx::RecycleLocked(Record* record) {
  switch (record->origin) {
    case Record::kHeap:
      delete record;
      return -1;
    case Record::kReserve:
      return -1;
    case Record::kArray:
      break;
  }
  record->next = freeList_;
  freeList_ = record;
  const int freeCount = freeCount_.load() + 1;
  freeCount_.store(freeCount);
  return freeCount;
}

void KRL_TaskPoolEx::WakeProducers(int freeCount) {
  if (freeCount < kLowFree || throttledProducers_.load() == 0) return;
  std::lock_guard<std::mutex> throttle(freeWaitLock_);
  freeWait_.notify_all();
}
