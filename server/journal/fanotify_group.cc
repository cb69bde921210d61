#include "journal/fanotify_group.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace dirsync {
namespace {

constexpr uint64_t kEventMask = FAN_CREATE | FAN_DELETE | FAN_RENAME |
                                FAN_MODIFY | FAN_ATTRIB | FAN_CLOSE_WRITE |
                                FAN_DELETE_SELF | FAN_ONDIR;

std::string Reason(const char* call, int err, const char* capability) {
  std::string text = std::string(call) + ": " + std::strerror(err);
  if (err == EPERM) text += std::string(" (needs ") + capability + ")";
  return text;
}

}  // namespace

FanotifyGroup::~FanotifyGroup() {
  if (fanotifyFd_ >= 0) ::close(fanotifyFd_);
  if (stopFd_ >= 0) ::close(stopFd_);
}

bool FanotifyGroup::Open(int dirfd, bool unlimitedQueue, std::string* whyNot) {
  unsigned flags = FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME_TARGET |
                   FAN_CLOEXEC | FAN_NONBLOCK;
  if (unlimitedQueue) flags |= FAN_UNLIMITED_QUEUE;
  fanotifyFd_ = ::fanotify_init(flags, O_RDONLY | O_CLOEXEC);
  if (fanotifyFd_ < 0) {
    *whyNot = Reason("fanotify_init", errno, "CAP_SYS_ADMIN");
    return false;
  }
  if (::fanotify_mark(fanotifyFd_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM,
                      kEventMask, dirfd, nullptr) != 0) {
    *whyNot = Reason("fanotify_mark", errno, "CAP_SYS_ADMIN");
    return false;
  }
  stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd_ < 0) {
    *whyNot = Reason("eventfd", errno, "");
    return false;
  }
  return true;
}

bool FanotifyGroup::IgnoreChangesOf(int fd) {
  // Without FAN_MARK_IGNORED_SURV_MODIFY the kernel would drop the
  // exclusion at the file's first write.
  return ::fanotify_mark(fanotifyFd_,
                         FAN_MARK_ADD | FAN_MARK_IGNORED_MASK |
                             FAN_MARK_IGNORED_SURV_MODIFY,
                         FAN_MODIFY | FAN_ATTRIB | FAN_CLOSE_WRITE, fd,
                         nullptr) == 0;
}

FanotifyGroup::Wait FanotifyGroup::WaitForEvents(int timeoutMs) {
  pollfd fds[2] = {{stopFd_, POLLIN, 0}, {fanotifyFd_, POLLIN, 0}};
  while (true) {
    int n = ::poll(fds, 2, timeoutMs < 0 ? -1 : timeoutMs);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Wait::kFailed;
    }
    if (n == 0) return Wait::kTimedOut;
    if (fds[0].revents != 0) return Wait::kStopped;
    if (fds[1].revents & (POLLERR | POLLNVAL)) {
      errno = EIO;
      return Wait::kFailed;
    }
    return Wait::kReady;
  }
}

bool FanotifyGroup::Pause(int timeoutMs) {
  pollfd stop = {stopFd_, POLLIN, 0};
  int n;
  do {
    n = ::poll(&stop, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  return n <= 0;
}

ssize_t FanotifyGroup::Read(void* buffer, size_t size) {
  while (true) {
    ssize_t n = ::read(fanotifyFd_, buffer, size);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    return -1;
  }
}

void FanotifyGroup::Stop() {
  uint64_t one = 1;
  // The counter only grows; a failed write means it is already signalled.
  ssize_t written = ::write(stopFd_, &one, sizeof one);
  (void)written;
}

}  // namespace dirsync
