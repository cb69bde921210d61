// Blocks every signal in the calling thread for the life of the object and
// gives the previous mask back at its end.
//
// A thread starts with the mask of the thread that creates it. One created
// inside this scope therefore takes no signal from its first instruction,
// however late it is first scheduled; blocking them in the new thread's own
// body would leave a moment in which a process-directed signal (SIGUSR1,
// SIGTERM) reaches it with its default action and ends the program.
#ifndef DIRSYNC_PLATFORM_SIGNALS_BLOCKED_H_
#define DIRSYNC_PLATFORM_SIGNALS_BLOCKED_H_

#include <pthread.h>
#include <signal.h>

namespace dirsync {

class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_SIGNALS_BLOCKED_H_
