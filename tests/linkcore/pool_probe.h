// Test helpers for the worker pools: a callback probe that records every
// delivery and can hold workers inside the callback, and helpers that watch
// threads from outside.
#ifndef TESTS_LINKCORE_POOL_PROBE_H_
#define TESTS_LINKCORE_POOL_PROBE_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "linkcore.h"

namespace linkcore_test {

struct Delivery {
  KRL_Pool* pool;
  bool dataNull;
  std::string bytes;
  unsigned length;
  uint64_t param;
};

// Records what the pools hand to their callback. The callbacks are plain
// functions, so one probe at a time is installed process-wide. While the
// gate is closed, every callback waits inside the probe before recording.
class CallbackProbe {
 public:
  CallbackProbe();
  ~CallbackProbe();

  static void Callback(KRL_Pool* pool, const char* data, unsigned length,
                       uint64_t param);

  void CloseGate();
  void OpenGate();
  // Optional work done by every callback after the gate (e.g. a sleep).
  void SetWork(std::function<void()> work);

  // Wait until that many callbacks have entered / finished; false on
  // timeout (10 s).
  bool WaitEntered(int count);
  bool WaitDelivered(size_t count);

  int entered();
  size_t delivered();
  std::vector<Delivery> deliveries();

 private:
  bool WaitUntil(const std::function<bool()>& done);

  std::mutex mutex_;
  std::condition_variable changed_;
  bool gateOpen_ = true;
  int entered_ = 0;
  std::vector<Delivery> deliveries_;
  std::function<void()> work_;
};

// Polls until done() holds; false after the timeout.
bool Eventually(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Id of the calling thread as the kernel knows it.
pid_t CurrentTid();
// True once thread tid of this process is asleep (state 'S'), polled for up
// to 10 s.
bool WaitUntilThreadSleeps(pid_t tid);

// Runs body in a child process whose thread count is capped at maxThreads
// (RLIMIT_NPROC under an otherwise unused user id), so that starting more
// threads fails. Returns the child's exit code (or -1) and, in *errorText,
// what it wrote to standard error. Needs root; check CanLimitThreads().
bool CanLimitThreads();
int RunWithThreadLimit(int maxThreads, const std::function<int()>& body,
                       std::string* errorText);

}  // namespace linkcore_test

#endif  // TESTS_LINKCORE_POOL_PROBE_H_
