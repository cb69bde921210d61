// Locks the thread-safety analysis understands: Mutex and SharedMutex wrap
// the standard ones, MutexLock, ReaderLock and WriterLock hold them for a
// scope, CondVar waits on a Mutex. The standard library's own types carry
// no annotations, so code that wants its locking checked uses these.
#ifndef DIRSYNC_PLATFORM_MUTEX_H_
#define DIRSYNC_PLATFORM_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "platform/thread_annotations.h"

namespace dirsync {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis that the caller holds the lock (checked by nothing
  // at run time); for callbacks that run under a lock taken elsewhere.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

class CAPABILITY("shared_mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  void LockShared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  void UnlockShared() RELEASE_SHARED() { mu_.unlock_shared(); }
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  void AssertHeld() const ASSERT_CAPABILITY(this) {}
  void AssertReaderHeld() const ASSERT_SHARED_CAPABILITY(this) {}

 private:
  std::shared_mutex mu_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

// Holds a SharedMutex shared for its scope; may let go of it and take it
// again in between (Unlock, Lock).
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex* mu) ACQUIRE_SHARED(mu) : mu_(mu) {
    mu_->LockShared();
  }
  ~ReaderLock() RELEASE() {
    if (held_) mu_->UnlockShared();
  }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

  void Unlock() RELEASE() {
    held_ = false;
    mu_->UnlockShared();
  }
  void Lock() ACQUIRE_SHARED() {
    mu_->LockShared();
    held_ = true;
  }

 private:
  SharedMutex* const mu_;
  bool held_ = true;
};

// Holds a SharedMutex exclusively for its scope; may let go of it and take
// it again in between (Unlock, Lock), as a writer that releases the lock
// around disk writes does.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~WriterLock() RELEASE() {
    if (held_) mu_->Unlock();
  }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

  void Unlock() RELEASE() {
    held_ = false;
    mu_->Unlock();
  }
  void Lock() ACQUIRE() {
    mu_->Lock();
    held_ = true;
  }

 private:
  SharedMutex* const mu_;
  bool held_ = true;
};

// A condition variable; every wait names the Mutex it releases while it
// waits, which the caller holds.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Waits until signalled (or woken spuriously); the caller checks its
  // condition again.
  void Wait(Mutex* mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // As Wait, for at most ms milliseconds. True when the time ran out.
  bool WaitFor(Mutex* mu, std::chrono::milliseconds ms) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu->mu_, std::adopt_lock);
    const bool timedOut = cv_.wait_for(lock, ms) == std::cv_status::timeout;
    lock.release();
    return timedOut;
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_MUTEX_H_
