// A fanotify group with one filesystem mark, and an eventfd that wakes a
// blocked wait for good (Stop). Part of the journal layer.
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
#ifndef DIRSYNC_TRACKING_JOURNAL_FANOTIFY_GROUP_H_
#define DIRSYNC_TRACKING_JOURNAL_FANOTIFY_GROUP_H_

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace dirsync {

class FanotifyGroup {
 public:
  enum class Wait { kReady, kStopped, kTimedOut, kFailed };

  FanotifyGroup() = default;
  ~FanotifyGroup();
  FanotifyGroup(const FanotifyGroup&) = delete;
  FanotifyGroup& operator=(const FanotifyGroup&) = delete;

  // Creates the group and marks the filesystem of the directory open at
  // dirfd. False with one line in *whyNot (for EPERM: the capability).
  bool Open(int dirfd, bool unlimitedQueue, std::string* whyNot);

  // Tells the kernel not to report writes to, attribute changes of and
  // closes after writing of the file open at fd (MODIFY, ATTRIB,
  // CLOSE_WRITE), whoever makes them. The exclusion survives the file's
  // modifications and lasts as long as the group. Creates, deletes and
  // renames naming the file are still reported (they belong to its
  // directory). False with errno on failure.
  bool IgnoreChangesOf(int fd);

  // Waits until events are queued, Stop is called or timeoutMs passes
  // (negative: no limit). kFailed sets errno.
  Wait WaitForEvents(int timeoutMs);
  // Waits timeoutMs for Stop alone, leaving queued events queued: true
  // when the time passed, false when Stop was called.
  bool Pause(int timeoutMs);
  // Reads queued events without blocking: bytes read, 0 when none, -1 with
  // errno on failure.
  ssize_t Read(void* buffer, size_t size);
  // Wakes the current and every later WaitForEvents with kStopped.
  void Stop();

 private:
  int fanotifyFd_ = -1;
  int stopFd_ = -1;
};

}  // namespace dirsync

#endif  // DIRSYNC_TRACKING_JOURNAL_FANOTIFY_GROUP_H_
