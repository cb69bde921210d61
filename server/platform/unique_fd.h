// UniqueFd: owns one file descriptor and closes it when it goes, so that no
// code path can leak or close a descriptor twice. Movable, not copyable.
#ifndef DIRSYNC_PLATFORM_UNIQUE_FD_H_
#define DIRSYNC_PLATFORM_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace dirsync {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held (if any) and holds fd instead. A close is
  // never retried: on Linux the descriptor is gone even when close fails.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_UNIQUE_FD_H_
