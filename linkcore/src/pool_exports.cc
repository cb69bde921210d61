// The exported worker-pool functions: thin wrappers that check the handle
// and forward to the pool kind behind it.
#include <ace/Log_Msg.h>

#include "linkcore.h"
#include "pool.h"
#include "task_pool.h"
#include "task_pool_ex.h"

extern "C" {

KRL_Pool* KRL_ATaskCreate(int threadCount, int queueSize,
                          TaskCallback callback) {
  return KRL_TaskPool::Create(threadCount, queueSize, callback);
}

int KRL_ATaskPutmsg(KRL_Pool* pool, const void* data, int length,
                    uint64_t param) {
  auto* taskPool = dynamic_cast<KRL_TaskPool*>(pool);
  if (taskPool == nullptr) return -1;
  return taskPool->Put(data, length, param);
}

KRL_Pool* KRL_TaskCreate(int threadCount, int queueSize,
                         TaskCallback callback) {
  return KRL_TaskPoolEx::Create(threadCount, queueSize, callback);
}

int KRL_TaskPutmsg(KRL_Pool* pool, const void* data, int length,
                   uint64_t param) {
  auto* taskPool = dynamic_cast<KRL_TaskPoolEx*>(pool);
  if (taskPool == nullptr) return -1;
  return taskPool->Put(data, length, param);
}

void KRL_TaskDestroy(KRL_Pool* pool) {
  if (pool == nullptr) return;
  // A destroy waits for every worker to end; from the pool's own callback
  // it would wait for itself. Refuse instead of hanging.
  if (KRL_Pool::PoolOfCallingThread() == pool) {
    ACE_ERROR((LM_ERROR,
               ACE_TEXT("KRL_TaskDestroy: refused inside the pool's own "
                        "callback\n")));
    return;
  }
  delete pool;  // virtual: either kind
}

// The same function under its second name.
void KRL_ATaskDestroy(KRL_Pool* pool) __attribute__((alias("KRL_TaskDestroy")));

}  // extern "C"
