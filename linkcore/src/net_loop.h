// The I/O threads and the one epoll set they share.
//
// Every registered descriptor is in one epoll set, edge-triggered, and any
// of the loop's threads may take its events, as with a completion port.
// Per registration the upcalls never overlap: the thread that takes an
// event claims the registration; an event another thread takes meanwhile
// is handed to the claimer, which delivers it once its upcall returns. So
// one connection's data callbacks still come one at a time and in stream
// order, while different connections may be served on different threads.
//
// Few threads wait at once. Only `pollers` threads (half the processors,
// at least one) take seats in epoll_wait; the others stand by. A seated
// thread keeps its seat while it delivers what it took, so under load it
// finds the next events ready when it comes back instead of a second
// thread being woken for each of them: on a machine with few processors a
// sleep and a wake per request cost more than the request. For each
// thread that stays inside one batch for a whole check period (an upcall
// that blocks), rescueIfStalled seats a standby thread, so a slow upcall
// delays the others by a check period or two at most; the extra seat is
// given back once that thread moves on.
//
// Contract. A descriptor joins with add and stays in the epoll set until
// remove: nothing is re-armed after an event, and epoll_ctl runs only when
// the wanted events actually change (setInterest), so a round trip costs
// the read, the write and a share of one epoll_wait that returns up to
// kMaxEvents ready descriptors. For each ready one the loop calls
// handle_output, then handle_input, for the events the handler wants at
// that moment (a hang-up or an error counts as both, so the handler's own
// read or write meets it). Edge-triggered events come once per change, so
// an upcall must take what is ready until the socket says EAGAIN, or
// return a positive value: "call me again", and the loop calls it once
// more for input after the other ready descriptors have had their turn.
// A read that fills less than the buffer has emptied the socket of data;
// the peer's end of input, reported once, has the loop call handle_input
// again until the handler no longer wants input (it has read the end). Events
// are matched to their registration by a generation number: an event
// taken from the kernel in the same batch as an earlier upcall that
// removed its handler (or one that removed it and added another on the
// same descriptor number) is dropped, never delivered to a handler that
// has left. A descriptor with an empty interest is taken out of the epoll
// set; when its interest returns the kernel reports what is ready then.
// requestInput asks for one handle_input without a new event (input
// buffered outside the socket).
//
// Posted tasks: a task posted on a thread that is delivering events runs
// on that thread after its current batch; one posted elsewhere runs on a
// seated thread, which an eventfd wakes. A handler may therefore post its
// own destruction from inside an upcall: it runs after that upcall.
//
// Threads: add, setInterest, remove, requestInput, post and end may be
// called on any thread; upcalls and posted tasks run on the loop's threads
// with no lock of the loop held. A handler removed inside its own upcall
// gets no upcall after remove returns; one removed on another thread may
// still be inside (or about to enter) an upcall, so it must outlive the
// loop.
#ifndef LINKCORE_NET_LOOP_H_
#define LINKCORE_NET_LOOP_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/epoll.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include <ace/Event_Handler.h>
#include <ace/Thread.h>

#include "net_guarded_counter.h"

namespace linkcore {

class KRL_NetLoop {
 public:
  // Interest bits (setInterest, add).
  static constexpr unsigned kInput = 1;
  static constexpr unsigned kOutput = 2;
  // Ready descriptors taken per epoll_wait.
  static constexpr int kMaxEvents = 256;

  // A task posted to the loop: task(argument) on one of its threads.
  using Task = void (*)(void* argument);

  // capacity: the highest descriptor number + 1 the loop can hold.
  explicit KRL_NetLoop(size_t capacity);
  ~KRL_NetLoop();
  KRL_NetLoop(const KRL_NetLoop&) = delete;
  KRL_NetLoop& operator=(const KRL_NetLoop&) = delete;

  // Builds the epoll set and the wake descriptor. False (logged) when they
  // cannot be built.
  bool open();

  // Starts threadCount threads, of which at most pollers wait in
  // epoll_wait at once (at least one). Each thread increments
  // *exitedThreads when it ends, and so does each thread that could not
  // be started (logged). Returns the number started. Called once, by
  // KRL_NetInit.
  int start(int threadCount, int pollers, GuardedCounter* exitedThreads);

  // Asks every thread to end; returns at once. Tasks still queued are
  // dropped. Any thread.
  void end();

  // Seats one standby thread for each thread that has stayed inside the
  // same batch since the previous call; gives the extra seats back once
  // they have moved on. Called periodically (the sweeper). Any thread.
  void rescueIfStalled();

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
  // Takes the descriptor out; its events still pending in any batch are
  // dropped. Nothing happens when it is not registered. Any thread (see
  // the contract above for a handler's life).
  void remove(ACE_HANDLE handle);
  // Has the registered handler called for input once more, as if the
  // socket had become readable (when it still wants input then). Any
  // thread.
  void requestInput(ACE_HANDLE handle);

  // Queues task(argument) (see the contract above). False (logged) when no
  // memory was left to queue it. Any thread.
  bool post(Task task, void* argument);

 private:
  // One registration: the handler, its interest, and the generation that
  // tags its events (0: the slot is free). A thread delivering to it holds
  // claimed; events for it taken meanwhile gather in pending.
  struct Slot {
    ACE_Event_Handler* handler = nullptr;
    unsigned interest = 0;
    uint32_t generation = 0;
    bool claimed = false;
    uint32_t pending = 0;  // epoll event bits
  };
  struct Posted {
    Task task;
    void* argument;
  };
  // A call again: the registration (still claimed) and its events.
  struct Owed {
    uint64_t tag;
    uint32_t events;
  };
  // What one thread owes besides its events: registrations to call
  // again (still claimed), input requested for others, and the tasks
  // posted on it.
  struct Delivery {
    std::vector<Owed> again;
    std::vector<uint64_t> inputs;
    std::vector<Posted> posted;
  };
  // One thread's progress, read by rescueIfStalled: its batch count times
  // two, plus one while it delivers a batch. A cache line of its own.
  struct alignas(64) Progress {
    std::atomic<uint64_t> stamp{0};
    uint64_t lastChecked = 0;  // seatLock_
  };

  static ACE_THR_FUNC_RETURN run(void* self);
  // One thread's life: seated in turn, it waits, delivers and runs tasks
  // until end. Loop thread.
  void serve(Progress* progress);
  // Delivers what one epoll_wait returned and what the thread owes.
  // False when the loop ends. Loop thread.
  bool deliver(const epoll_event* events, int ready,
               std::vector<Owed>* owed, Delivery* delivery);
  // Waits until a seat is free; false when the loop ends.
  bool takeSeat();
  // Gives the seat back when more are seated than seats there are now;
  // true when it did.
  bool giveBackSeat();
  void leaveSeat();
  // Delivers one ready event to its handler, if it is still registered
  // under the generation the event carries and no other thread is
  // delivering to it. claimed: the caller already holds the claim (a call
  // again). Loop thread, no lock held.
  void dispatch(uint64_t tag, uint32_t events, bool claimed,
                Delivery* delivery);
  // Takes the shared queue (tasks and input requests of other threads)
  // into the delivery. Loop thread.
  void takeShared(Delivery* delivery);
  // Brings the kernel's view of a descriptor from one interest to another
  // (add, modify, or take out for an empty one). slotLock_ held.
  bool applyInterestLocked(ACE_HANDLE handle, unsigned from, unsigned to,
                           uint64_t tag);
  void wake();

  const size_t capacity_;
  int epoll_ = -1;
  int wake_ = -1;  // eventfd; readable while shared work waits or at end
  GuardedCounter* exitedThreads_ = nullptr;

  // slotLock_ guards slots_ and nextGeneration_, and keeps each
  // descriptor's epoll membership in step with its slot. Never held
  // across an upcall or a task.
  std::mutex slotLock_;
  std::vector<Slot> slots_;  // indexed by descriptor, grown on demand
  uint32_t nextGeneration_ = 1;

  // sharedLock_ guards sharedPosted_, sharedInputs_ and wakeSent_: what
  // threads outside a delivery hand to the loop.
  std::mutex sharedLock_;
  std::vector<Posted> sharedPosted_;
  std::vector<uint64_t> sharedInputs_;  // tags asking for handle_input
  bool wakeSent_ = false;  // the eventfd was written since the last drain
  std::atomic<bool> ending_{false};

  // seatLock_ guards pollers_, the Progress checks and the standby
  // threads' wait; seated_ and seatsNow_ change only under it and are read
  // without it after each batch.
  std::mutex seatLock_;
  std::condition_variable seatFree_;
  std::atomic<int> seated_{0};    // threads holding a seat
  std::atomic<int> seatsNow_{1};  // seats now: pollers_ plus rescue seats
  int pollers_ = 1;               // seats without rescue
  std::unique_ptr<Progress[]> progress_;  // one per thread, from start
  int threads_ = 0;
  std::atomic<int> nextThread_{0};  // index into progress_ of a new thread
};

}  // namespace linkcore

#endif  // LINKCORE_NET_LOOP_H_
