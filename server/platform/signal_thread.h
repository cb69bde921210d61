// Signals taken on a thread of their own. The routed signals are blocked in
// every thread of the process and taken one at a time with sigwait on a
// dedicated thread, which runs the action routed to each. Nothing runs in
// signal context, so an action may take locks, log and wait like any other
// code.
//
// Usage, on the main thread before any other thread exists:
//   SignalThread signals;
//   signals.Route(SIGINT, ...);       // one Route per signal
//   signals.BlockRoutedSignals();     // inherited by every later thread
//   signals.Start();
#ifndef DIRSYNC_PLATFORM_SIGNAL_THREAD_H_
#define DIRSYNC_PLATFORM_SIGNAL_THREAD_H_

#include <signal.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>

namespace dirsync {

class SignalThread {
 public:
  // Runs on the signal thread with the signal taken.
  using Action = std::function<void(int signo)>;

  SignalThread() = default;
  SignalThread(const SignalThread&) = delete;
  SignalThread& operator=(const SignalThread&) = delete;
  // Stops the thread if it runs.
  ~SignalThread();

  // Routes signo to action, replacing an earlier route of signo. Only
  // before Start; not thread safe.
  void Route(int signo, Action action);

  // Blocks every routed signal in the calling thread; threads it creates
  // afterwards inherit the mask. Returns false when the mask could not be
  // set. Call on the main thread before any other thread starts.
  bool BlockRoutedSignals() const;

  // Starts the thread that takes the routed signals. They must be blocked
  // in every thread (BlockRoutedSignals), or the kernel may deliver one to
  // another thread with its default action. Returns false when nothing is
  // routed or the thread is already running.
  bool Start();

  // Ends the thread and waits for it; a routed signal arriving meanwhile
  // may be dropped. Must not be called from an action. Safe to call when
  // not running.
  void Stop();

  // Gives signo its default action and raises it on the calling thread,
  // as if nobody had routed it (for SIGINT, SIGTERM, ...: the process
  // ends). For an action that declines its signal.
  static void RunDefaultAction(int signo);

 private:
  sigset_t RoutedSet() const;
  void Run();

  std::map<int, Action> actions_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
};

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_SIGNAL_THREAD_H_
