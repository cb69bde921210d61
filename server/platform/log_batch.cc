#include "platform/log_batch.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/file_io.h"
#include "platform/mutex.h"
#include "platform/signals_blocked.h"
#include "platform/thread_annotations.h"

namespace dirsync {
namespace {

// Lines waiting past this hold their callers back until written.
constexpr size_t kMostPending = 1 << 20;
// The writer waits this long after the first line of a batch for more.
// Under a steady stream of lines (one per ping) each wait costs two
// context switches and a write: a few milliseconds make them rare while
// the lines still come out promptly.
constexpr std::chrono::milliseconds kGather{4};

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// Writes bytes to stdout with plain write calls (safe in a signal handler).
void WriteRaw(const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(STDOUT_FILENO, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

class Batch {
 public:
  Batch() { pending_.reserve(kMostPending + 1024); }

  void Start() {
    // Signals are the business of the threads that route them: the writer
    // takes none, from its first instruction.
    SignalsBlocked blocked;
    thread_ = std::thread([this] { Run(); });
  }

  void Stop() EXCLUDES(mu_) {
    {
      MutexLock lock(&mu_);
      stopping_ = true;
      wake_.Signal();
    }
    thread_.join();
  }

  void Append(const char* line, size_t length) EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    if (ended_) {
      // Logged after the batching ended: straight out, in order.
      WriteFull(STDOUT_FILENO, line, length).IgnoreError();
      return;
    }
    while (pending_.size() > kMostPending) drained_.Wait(&mu_);
    const bool wasEmpty = pending_.empty();
    pending_.insert(pending_.end(), line, line + length);
    pendingSize_.store(pending_.size(), std::memory_order_release);
    ++appended_;
    if (wasEmpty) wake_.Signal();
  }

  void Flush() EXCLUDES(mu_) {
    MutexLock lock(&mu_);
    const uint64_t target = appended_;
    flushing_ = true;
    wake_.Signal();
    while (written_ < target && !ended_) drained_.Wait(&mu_);
    flushing_ = false;
  }

  // From a fatal signal's handler: writes what waits, without the lock (the
  // crashing thread may hold it). Lines a writer is busy with may come out
  // twice; none is lost.
  void WriteFromSignalHandler() NO_THREAD_SAFETY_ANALYSIS {
    // The batch the writer took, which it may not have written yet, then
    // what waits behind it.
    WriteRaw(out_.data(), outSize_.load(std::memory_order_acquire));
    WriteRaw(pending_.data(), pendingSize_.load(std::memory_order_acquire));
  }

 private:
  void Run() EXCLUDES(mu_) {
    std::vector<char>& out = out_;
    MutexLock lock(&mu_);
    while (true) {
      while (pending_.empty() && !stopping_) wake_.Wait(&mu_);
      if (pending_.empty() && stopping_) {
        ended_ = true;
        // Later lines go straight out: the batch's room is given back.
        std::vector<char>().swap(pending_);
        drained_.SignalAll();
        return;
      }
      // Let the lines of the next moment join this write.
      if (!stopping_ && !flushing_ && pending_.size() < kMostPending) {
        wake_.WaitFor(&mu_, kGather);
      }
      out.swap(pending_);
      outSize_.store(out.size(), std::memory_order_release);
      pending_.clear();
      pending_.reserve(kMostPending + 1024);
      pendingSize_.store(0, std::memory_order_release);
      const uint64_t batchEnd = appended_;
      mu_.Unlock();
      // Nowhere is left to report a failing log.
      WriteFull(STDOUT_FILENO, out.data(), out.size()).IgnoreError();
      outSize_.store(0, std::memory_order_release);
      out.clear();
      mu_.Lock();
      written_ = batchEnd;
      drained_.SignalAll();
    }
  }

  Mutex mu_;  // guards the pending lines and the counts
  CondVar wake_;     // lines arrived, a flush or the stop was asked for
  CondVar drained_;  // a batch was written
  std::vector<char> pending_ GUARDED_BY(mu_);
  std::atomic<size_t> pendingSize_{0};  // pending_.size(), for the signal handler
  // The batch the writer thread is writing (its thread only), and its
  // size until written, for the signal handler.
  std::vector<char> out_;
  std::atomic<size_t> outSize_{0};
  uint64_t appended_ GUARDED_BY(mu_) = 0;  // lines handed in so far
  uint64_t written_ GUARDED_BY(mu_) = 0;   // lines written so far
  bool flushing_ GUARDED_BY(mu_) = false;
  bool stopping_ GUARDED_BY(mu_) = false;
  bool ended_ GUARDED_BY(mu_) = false;  // the thread has written its last
  std::thread thread_;

 public:
  Batch* nextRetired = nullptr;  // the batch retired before this one
};

std::atomic<Batch*> g_batch{nullptr};
// Batches whose writer has ended. They are kept, not freed (a thread that
// loaded one a moment ago may still log through it), and kept reachable so
// that a leak checker does not count them.
std::atomic<Batch*> g_retired{nullptr};
struct sigaction g_previous[sizeof kFatalSignals / sizeof kFatalSignals[0]];

void OnFatalSignal(int signo) {
  if (Batch* batch = g_batch.load(std::memory_order_acquire)) {
    batch->WriteFromSignalHandler();
  }
  // The default action (a core, the end of the process) follows.
  ::signal(signo, SIG_DFL);
  ::raise(signo);
}

}  // namespace

LogBatching::LogBatching() {
  auto* batch = new Batch;
  batch->Start();
  Batch* none = nullptr;
  const bool installed = g_batch.compare_exchange_strong(none, batch);
  assert(installed);  // one at a time
  (void)installed;
  for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i) {
    struct sigaction action {};
    action.sa_handler = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(kFatalSignals[i], &action, &g_previous[i]);
  }
}

LogBatching::~LogBatching() {
  for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i) {
    ::sigaction(kFatalSignals[i], &g_previous[i], nullptr);
  }
  Batch* batch = g_batch.exchange(nullptr);
  // The thread writes everything before it ends. The batch itself stays:
  // a thread that loaded it a moment ago may still log through it, and
  // then writes its line itself.
  batch->Stop();
  batch->nextRetired = g_retired.load(std::memory_order_relaxed);
  while (!g_retired.compare_exchange_weak(batch->nextRetired, batch)) {
  }
}

void FlushLog() {
  if (Batch* batch = g_batch.load(std::memory_order_acquire)) batch->Flush();
}

bool AppendToLogBatch(const char* line, size_t length) {
  Batch* batch = g_batch.load(std::memory_order_acquire);
  if (batch == nullptr) return false;
  batch->Append(line, length);
  return true;
}

}  // namespace dirsync
