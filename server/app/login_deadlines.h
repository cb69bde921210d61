// LoginDeadlines: the time each connection has to log in.
//
// Every connection is entered at its open event with the deadline now +
// timeout and leaves at its close event. A thread of its own sleeps until
// the earliest deadline (or, with no connection waiting, until one is
// entered) and hands each connection whose deadline has passed to the
// expire function, which closes it unless it has logged in meanwhile.
// The thread starts with the first entry and ends with the object.
//
// lock_ guards the entries and the timeout; it is never held while the
// expire function runs.
#ifndef DIRSYNC_APP_LOGIN_DEADLINES_H_
#define DIRSYNC_APP_LOGIN_DEADLINES_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <thread>
#include <unordered_map>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace dirsync {

constexpr std::chrono::seconds kDefaultLoginTimeout{30};

class LoginDeadlines {
 public:
  // Called on the deadline thread with the id of a connection whose time
  // ran out (it has left the entries by then).
  using ExpireFn = std::function<void(uint64_t id)>;

  explicit LoginDeadlines(ExpireFn expire) : expire_(std::move(expire)) {}
  // Stops and joins the thread.
  ~LoginDeadlines();
  LoginDeadlines(const LoginDeadlines&) = delete;
  LoginDeadlines& operator=(const LoginDeadlines&) = delete;

  // The time given to connections entered from now on. Thread safe.
  void SetTimeout(std::chrono::milliseconds timeout) EXCLUDES(lock_);
  std::chrono::milliseconds timeout() EXCLUDES(lock_);

  // Enters id with the deadline now + timeout (an entry already there is
  // replaced). Thread safe.
  void Add(uint64_t id) EXCLUDES(lock_);
  // Takes id out; nothing happens when it is not entered. Thread safe.
  void Remove(uint64_t id) EXCLUDES(lock_);
  // Connections entered. Thread safe.
  size_t Count() EXCLUDES(lock_);

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    Clock::time_point deadline;
    uint64_t id;
  };

  void ThreadMain() EXCLUDES(lock_);
  void RemoveLocked(uint64_t id) REQUIRES(lock_);

  const ExpireFn expire_;
  Mutex lock_;
  CondVar changed_;
  std::chrono::milliseconds timeout_ GUARDED_BY(lock_) = kDefaultLoginTimeout;
  // Entries by deadline, earliest first, and where each id's entry lies.
  std::list<Entry> order_ GUARDED_BY(lock_);
  std::unordered_map<uint64_t, std::list<Entry>::iterator> byId_
      GUARDED_BY(lock_);
  bool stopping_ GUARDED_BY(lock_) = false;
  bool started_ GUARDED_BY(lock_) = false;
  std::thread thread_;
};

}  // namespace dirsync

#endif  // DIRSYNC_APP_LOGIN_DEADLINES_H_
