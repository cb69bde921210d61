#include "task_pool.h"

#include <ace/Log_Msg.h>
#include <ace/Message_Block.h>
#include <ace/Time_Value.h>

#include <cerrno>
#include <cstring>
#include <new>

KRL_TaskPool* KRL_TaskPool::Create(int threadCount, int queueSize,
                                   TaskCallback callback) {
  if (threadCount < 0) return nullptr;
  auto* pool = new (std::nothrow) KRL_TaskPool(threadCount, queueSize,
                                               callback);
  if (pool == nullptr) return nullptr;
  if (pool->msg_queue() == nullptr || pool->startBarrier_ == nullptr) {
    delete pool;
    return nullptr;
  }
  pool->StartWorkers();
  return pool;
}

KRL_TaskPool::KRL_TaskPool(int threadCount, int queueSize,
                           TaskCallback callback)
    : threadCount_(threadCount),
      callback_(callback),
      startBarrier_(new (std::nothrow)
                        ACE_Barrier(static_cast<unsigned>(threadCount))) {
  // Every message block counts sizeof(KRL_Msg) bytes against the high-water
  // mark; raise the mark so that at least queueSize messages fit.
  if (msg_queue() != nullptr && queueSize > 0) {
    const size_t wanted = sizeof(KRL_Msg) * static_cast<size_t>(queueSize);
    if (wanted > msg_queue()->high_water_mark()) {
      msg_queue()->high_water_mark(wanted);
    }
  }
}

void KRL_TaskPool::StartWorkers() {
  if (threadCount_ == 0) return;
  if (activate(THR_NEW_LWP | THR_JOINABLE | THR_INHERIT_SCHED,
               threadCount_) != -1) {
    return;
  }
  ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("KRL_TaskPool::open")));
  // Threads started before the failure wait at the barrier for the whole
  // count; release them and let the pool run with those alone, so that
  // puts are handled and a destroy does not wait for threads that never
  // came.
  const int started = thr_mgr() != nullptr
                          ? thr_mgr()->num_threads_in_task(this)
                          : 0;
  threadCount_ = started > 0 ? started : 0;
  startBarrier_->shutdown();
}

KRL_TaskPool::~KRL_TaskPool() {
  // Stop requests go behind every message already queued, one per worker;
  // each worker ends at the first one it takes.
  for (int i = 0; i < threadCount_; ++i) {
    if (Enqueue(KRL_Msg::MakeStop()) == -1) {
      // Only a queue that cannot take a block gets here; deactivating it
      // wakes every worker with an error, which ends it.
      msg_queue()->deactivate();
      break;
    }
  }
  // Joining (rather than counting exits) also waits for the thread epilogue
  // that ACE runs on this object after svc returns.
  wait();
  DropQueued();
}

int KRL_TaskPool::Put(const void* data, int length, uint64_t param) {
  KRL_Msg msg;
  if (!KRL_Msg::MakeData(data, length, param, &msg)) return -1;
  return Enqueue(msg);
}

int KRL_TaskPool::Enqueue(KRL_Msg msg) {
  auto* block = new (std::nothrow) ACE_Message_Block(sizeof msg);
  if (block == nullptr || block->base() == nullptr) {
    if (block != nullptr) block->release();
    msg.FreeData();
    return -1;
  }
  block->copy(reinterpret_cast<const char*>(&msg), sizeof msg);
  const int count = putq(block);  // waits without limit while full
  if (count == -1) {
    block->release();
    msg.FreeData();
  }
  return count;
}

int KRL_TaskPool::svc() {
  MarkCallingThreadAsWorker();
  // -1 only when a failed start shut the barrier down; go on regardless.
  startBarrier_->wait();
  for (;;) {
    ACE_Message_Block* block = nullptr;
    if (getq(block) == -1) {
      // The queue is never deactivated while the pool lives, except by a
      // destructor that could not queue a stop request.
      if (msg_queue()->deactivated()) break;
      continue;
    }
    KRL_Msg msg;
    std::memcpy(&msg, block->rd_ptr(), sizeof msg);
    block->release();
    if (msg.type == KRL_Msg::kStop) {
      msg.FreeData();
      break;
    }
    if (msg.type == KRL_Msg::kData && callback_ != nullptr) {
      callback_(this, msg.data, msg.length, msg.param);
    }
    msg.FreeData();
  }
  return 0;
}

void KRL_TaskPool::DropQueued() {
  ACE_Message_Queue<ACE_MT_SYNCH>* queue = msg_queue();
  if (queue == nullptr) return;
  queue->activate();
  ACE_Time_Value noWait(ACE_Time_Value::zero);
  ACE_Message_Block* block = nullptr;
  while (!queue->is_empty() && queue->dequeue_head(block, &noWait) != -1) {
    KRL_Msg msg;
    std::memcpy(&msg, block->rd_ptr(), sizeof msg);
    block->release();
    msg.FreeData();
  }
}
