// One I/O thread with an epoll set of its own.
//
// Every connection lives on one loop for its whole life, so its upcalls
// (input, output) never run on two threads at once, and is destroyed there
// too: the last reference to a handler posts its destruction (post), which
// the loop's thread runs between upcalls.
//
// Contract. A descriptor joins with add and stays in the epoll set,
// level-triggered, until remove: nothing is re-armed after an event, and
// epoll_ctl runs only when the wanted events actually change (setInterest),
// so a round trip costs the read, the write and a share of one epoll_wait
// that returns up to kMaxEvents ready descriptors. For each ready one the
// loop calls handle_output, then handle_input, for the events the handler
// wants at that moment (a hang-up or an error counts as both, so the
// handler's own read or write meets it). Events are matched to their
// registration by a generation number: an event taken from the kernel in
// the same batch as an earlier upcall that removed its handler (or one
// that removed it and added another on the same descriptor number) is
// dropped, never delivered to a handler that has left. A descriptor with
// an empty interest is taken out of the epoll set, so a hang-up does not
// report it over and over; it goes back when the interest returns. Posted
// tasks run in the order posted, after the batch of events that was being
// dispatched, on the loop's thread; an eventfd wakes epoll_wait for them.
//
// Threads: add, setInterest, remove, post and end may be called on any
// thread; upcalls and posted tasks run on the loop's thread with no lock
// of the loop held. A handler removed on the loop's thread gets no upcall
// after remove returns; one removed on another thread may still be inside
// (or about to enter) an upcall, so it must outlive the loop.
// Return values of the upcalls are ignored.
#ifndef LINKCORE_NET_LOOP_H_
#define LINKCORE_NET_LOOP_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include <ace/Event_Handler.h>
#include <ace/Thread.h>
#include <ace/Thread_Mutex.h>

#include "net_guarded_counter.h"

namespace linkcore {

class KRL_NetLoop {
 public:
  // Interest bits (setInterest, add).
  static constexpr unsigned kInput = 1;
  static constexpr unsigned kOutput = 2;
  // Ready descriptors taken per epoll_wait.
  static constexpr int kMaxEvents = 256;

  // A task posted to the loop: task(argument) on the loop's thread.
  using Task = void (*)(void* argument);

  // capacity: the highest descriptor number + 1 the loop can hold.
  explicit KRL_NetLoop(size_t capacity);
  ~KRL_NetLoop();
  KRL_NetLoop(const KRL_NetLoop&) = delete;
  KRL_NetLoop& operator=(const KRL_NetLoop&) = delete;

  // Builds the epoll set and the wake descriptor. False (logged) when they
  // cannot be built.
  bool open();

  // Starts the loop's thread; when its event loop ends the thread
  // increments *exitedThreads and ends. False (logged) when no thread
  // could be started. Called once, by KRL_NetInit.
  bool start(GuardedCounter* exitedThreads);

  // Asks the event loop to end; returns at once. Tasks still queued are
  // dropped. Any thread.
  void end();

  // True when a descriptor of this number can be registered here.
  bool canHold(ACE_HANDLE handle) const {
    return handle >= 0 && static_cast<size_t>(handle) < capacity_;
  }

  // Registers handler for descriptor handle with the interest given
  // (kInput | kOutput, or 0). False, with errno set, when the descriptor
  // is out of range, already registered or refused by epoll. Any thread.
  bool add(ACE_Event_Handler* handler, ACE_HANDLE handle, unsigned interest);
  // Sets the interest of a registered descriptor; epoll_ctl runs only when
  // it changes. False, with errno set, when epoll refuses it (the old
  // interest stays). Any thread.
  bool setInterest(ACE_HANDLE handle, unsigned interest);
  // Takes the descriptor out; its events still pending in this loop's
  // batch are dropped. Nothing happens when it is not registered. Any
  // thread (see the contract above for a handler's life).
  void remove(ACE_HANDLE handle);

  // Queues task(argument) for the loop's thread and wakes it. False
  // (logged) when no memory was left to queue it. Any thread.
  bool post(Task task, void* argument);

 private:
  // One registration: the handler, its interest, and the generation that
  // tags its events (0: the slot is free).
  struct Slot {
    ACE_Event_Handler* handler = nullptr;
    unsigned interest = 0;
    uint32_t generation = 0;
  };
  struct Posted {
    Task task;
    void* argument;
  };

  static ACE_THR_FUNC_RETURN run(void* self);
  // The event loop. Loop thread.
  void loop();
  // Delivers one ready event to its handler, if it is still registered
  // under the generation the event carries. Loop thread, no lock held.
  void dispatch(uint64_t tag, uint32_t events);
  // The handler and interest of the registration an event tags, or null
  // when it has gone. Takes slotLock_.
  ACE_Event_Handler* lookup(uint64_t tag, unsigned* interest);
  // Runs the tasks queued so far. Loop thread, no lock held.
  void runPosted();
  // Brings the kernel's view of a descriptor from one interest to another
  // (add, modify, or take out for an empty one). slotLock_ held.
  bool applyInterestLocked(ACE_HANDLE handle, unsigned from, unsigned to,
                           uint64_t tag);

  const size_t capacity_;
  int epoll_ = -1;
  int wake_ = -1;  // eventfd; readable while posted tasks wait
  GuardedCounter* exitedThreads_ = nullptr;

  // slotLock_ guards slots_ and nextGeneration_, and keeps each
  // descriptor's epoll membership in step with its slot. Never held
  // across an upcall or a task.
  ACE_Thread_Mutex slotLock_;
  std::vector<Slot> slots_;  // indexed by descriptor, grown on demand
  uint32_t nextGeneration_ = 1;

  // postLock_ guards posted_, wakeSent_ and ending_: the queue other
  // threads fill for the loop's thread.
  ACE_Thread_Mutex postLock_;
  std::vector<Posted> posted_;
  bool wakeSent_ = false;  // the eventfd was written since the last drain
  bool ending_ = false;
  std::vector<Posted> running_;  // loop thread only: the batch being run
};

}  // namespace linkcore

#endif  // LINKCORE_NET_LOOP_H_
