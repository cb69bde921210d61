// A fanotify group with one filesystem mark, and an eventfd that wakes a
// blocked wait for good (Stop).
//
// The group reports, for the whole filesystem, CREATE, DELETE, RENAME,
// MODIFY, ATTRIB, CLOSE_WRITE and DELETE_SELF, for directories too
// (ONDIR), each with the directory handle and name and the object's own
// handle (FAN_REPORT_DFID_NAME_TARGET). MOVED_FROM/MOVED_TO/MOVE_SELF are
// left out: they repeat RENAME, and merging them into earlier events
// scrambles the order of a batch. Single files can be excluded in the
// kernel (IgnoreChangesOf), so that their writes cost no event at all.
//
// Thread safety: Wait and Read on one thread; Stop from any thread;
// IgnoreChangesOf after Open, before the first Wait.
#ifndef DIRSYNC_JOURNAL_FANOTIFY_GROUP_H_
#define DIRSYNC_JOURNAL_FANOTIFY_GROUP_H_

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "platform/env.h"
#include "platform/status.h"
#include "platform/unique_fd.h"

namespace dirsync {

class FanotifyGroup {
 public:
  enum class Wait { kReady, kStopped, kTimedOut, kFailed };

  // Events are read through env, so that tests can make reads fail.
  explicit FanotifyGroup(Env* env = Env::Default()) : env_(env) {}
  FanotifyGroup(const FanotifyGroup&) = delete;
  FanotifyGroup& operator=(const FanotifyGroup&) = delete;

  // Creates the group and marks the filesystem of the directory open at
  // dirfd. A failure says which call failed and why (for EPERM: the
  // capability needed).
  Status Open(int dirfd, bool unlimitedQueue);

  // Tells the kernel not to report writes to, attribute changes of and
  // closes after writing of the file open at fd (MODIFY, ATTRIB,
  // CLOSE_WRITE), whoever makes them. The exclusion survives the file's
  // modifications and lasts as long as the group. Creates, deletes and
  // renames naming the file are still reported (they belong to its
  // directory).
  Status IgnoreChangesOf(int fd);

  // Waits until events are queued, Stop is called or timeoutMs passes
  // (negative: no limit). For kFailed, *failure (when given) says why.
  Wait WaitForEvents(int timeoutMs, Status* failure = nullptr);
  // Waits timeoutMs for Stop alone, leaving queued events queued: true
  // when the time passed, false when Stop was called.
  bool Pause(int timeoutMs);
  // Reads queued events without blocking: *got bytes, 0 when none.
  Status Read(void* buffer, size_t size, size_t* got);
  // Wakes the current and every later WaitForEvents with kStopped.
  void Stop();

 private:
  Env* const env_;
  UniqueFd fanotifyFd_;
  UniqueFd stopFd_;
};

}  // namespace dirsync

#endif  // DIRSYNC_JOURNAL_FANOTIFY_GROUP_H_
