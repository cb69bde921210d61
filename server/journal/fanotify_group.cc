#include "journal/fanotify_group.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/file_io.h"

namespace dirsync {
namespace {

constexpr uint64_t kEventMask = FAN_CREATE | FAN_DELETE | FAN_RENAME |
                                FAN_MODIFY | FAN_ATTRIB | FAN_CLOSE_WRITE |
                                FAN_DELETE_SELF | FAN_ONDIR;

Status Failure(const char* call, int err, const char* capability) {
  Status failure = Status::FromErrno(call, err);
  if (err != EPERM) return failure;
  return failure.WithNote(std::string(" (needs ") + capability + ")");
}

}  // namespace

Status FanotifyGroup::Open(int dirfd, bool unlimitedQueue) {
  unsigned flags = FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME_TARGET |
                   FAN_CLOEXEC | FAN_NONBLOCK;
  if (unlimitedQueue) flags |= FAN_UNLIMITED_QUEUE;
  fanotifyFd_.reset(::fanotify_init(flags, O_RDONLY | O_CLOEXEC));
  if (!fanotifyFd_.valid()) {
    return Failure("fanotify_init", errno, "CAP_SYS_ADMIN");
  }
  if (::fanotify_mark(fanotifyFd_.get(), FAN_MARK_ADD | FAN_MARK_FILESYSTEM,
                      kEventMask, dirfd, nullptr) != 0) {
    return Failure("fanotify_mark", errno, "CAP_SYS_ADMIN");
  }
  stopFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stopFd_.valid()) return Failure("eventfd", errno, "");
  return Status::OK();
}

Status FanotifyGroup::IgnoreChangesOf(int fd) {
  // Without FAN_MARK_IGNORED_SURV_MODIFY the kernel would drop the
  // exclusion at the file's first write.
  if (::fanotify_mark(fanotifyFd_.get(),
                      FAN_MARK_ADD | FAN_MARK_IGNORED_MASK |
                          FAN_MARK_IGNORED_SURV_MODIFY,
                      FAN_MODIFY | FAN_ATTRIB | FAN_CLOSE_WRITE, fd,
                      nullptr) != 0) {
    return Status::FromErrno("fanotify_mark (ignore)", errno);
  }
  return Status::OK();
}

FanotifyGroup::Wait FanotifyGroup::WaitForEvents(int timeoutMs,
                                                 Status* failure) {
  pollfd fds[2] = {{stopFd_.get(), POLLIN, 0}, {fanotifyFd_.get(), POLLIN, 0}};
  // An interrupted wait starts over with the whole timeout: the caller's
  // deadline is only a bound on an idle wait.
  int n = RetryOnEintr([&] { return ::poll(fds, 2, timeoutMs < 0 ? -1 : timeoutMs); });
  if (n < 0) {
    if (failure != nullptr) *failure = Status::FromErrno("poll", errno);
    return Wait::kFailed;
  }
  if (n == 0) return Wait::kTimedOut;
  if (fds[0].revents != 0) return Wait::kStopped;
  if (fds[1].revents & (POLLERR | POLLNVAL)) {
    if (failure != nullptr) *failure = Status::IOError("poll", EIO);
    return Wait::kFailed;
  }
  return Wait::kReady;
}

bool FanotifyGroup::Pause(int timeoutMs) {
  pollfd stop = {stopFd_.get(), POLLIN, 0};
  int n = RetryOnEintr([&] { return ::poll(&stop, 1, timeoutMs); });
  return n <= 0;
}

Status FanotifyGroup::Read(void* buffer, size_t size, size_t* got) {
  return env_->ReadSome(fanotifyFd_.get(), buffer, size, got);
}

void FanotifyGroup::Stop() {
  // The counter only grows; a failed write means it is already signalled.
  uint64_t one = 1;
  WriteFull(stopFd_.get(), &one, sizeof one).IgnoreError();
}

}  // namespace dirsync
