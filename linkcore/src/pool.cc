#include "pool.h"

namespace {
thread_local const KRL_Pool* workerOf = nullptr;
}  // namespace

const KRL_Pool* KRL_Pool::PoolOfCallingThread() { return workerOf; }

void KRL_Pool::MarkCallingThreadAsWorker() const { workerOf = this; }
