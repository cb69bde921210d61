// KRL_Pool: the common base of both worker-pool kinds.
//
// The exported header only forward-declares KRL_Pool, so hosts hold an
// opaque pointer. Both kinds derive from this class, which gives them one
// virtual destructor: deleting through the handle a host holds destroys
// either kind correctly, which is what lets KRL_TaskDestroy and
// KRL_ATaskDestroy be one function.
#ifndef LINKCORE_SRC_POOL_H_
#define LINKCORE_SRC_POOL_H_

#include "linkcore.h"

struct KRL_Pool {
  virtual ~KRL_Pool() = default;

  KRL_Pool(const KRL_Pool&) = delete;
  KRL_Pool& operator=(const KRL_Pool&) = delete;

  // The pool whose worker the calling thread is, or null. A destroy waits
  // for every worker to end, so it must not run on a worker of the pool it
  // destroys; this lets the destroy function refuse that. Thread safe.
  static const KRL_Pool* PoolOfCallingThread();

 protected:
  KRL_Pool() = default;

  // Called by a worker thread once, at its start: records that the calling
  // thread belongs to this pool for the rest of its life.
  void MarkCallingThreadAsWorker() const;
};

#endif  // LINKCORE_SRC_POOL_H_
