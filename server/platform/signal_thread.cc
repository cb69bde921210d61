#include "platform/signal_thread.h"

#include <pthread.h>

namespace dirsync {

SignalThread::~SignalThread() { Stop(); }

void SignalThread::Route(int signo, Action action) {
  actions_[signo] = std::move(action);
}

sigset_t SignalThread::RoutedSet() const {
  sigset_t set;
  sigemptyset(&set);
  for (const auto& entry : actions_) sigaddset(&set, entry.first);
  return set;
}

bool SignalThread::BlockRoutedSignals() const {
  sigset_t set = RoutedSet();
  return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool SignalThread::Start() {
  if (actions_.empty() || thread_.joinable()) return false;
  stopping_.store(false);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void SignalThread::Stop() {
  if (!thread_.joinable()) return;
  stopping_.store(true);
  // Wake sigwait with one of its own signals, sent to that thread alone.
  pthread_kill(thread_.native_handle(), actions_.begin()->first);
  thread_.join();
}

void SignalThread::Run() {
  const sigset_t set = RoutedSet();
  while (true) {
    int signo = 0;
    if (sigwait(&set, &signo) != 0) continue;
    if (stopping_.load()) return;
    auto it = actions_.find(signo);
    if (it != actions_.end() && it->second) it->second(signo);
  }
}

void SignalThread::RunDefaultAction(int signo) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(signo, &dfl, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signo);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signo);
  // Still here: the default action ignores the signal. Keep it blocked so
  // that the next one again reaches sigwait.
  pthread_sigmask(SIG_BLOCK, &one, nullptr);
}

}  // namespace dirsync
