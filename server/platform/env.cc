#include "platform/env.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/file_io.h"

namespace dirsync {

Env* Env::Default() {
  // Holds no state: one instance serves every thread for the whole run.
  static Env* const kSystem = new Env;
  return kSystem;
}

Status Env::OpenFile(const std::string& path, int flags, mode_t mode,
                     UniqueFd* fd) {
  return dirsync::OpenFile(path, flags, mode, fd);
}

Status Env::Stat(int fd, struct stat* st) {
  if (::fstat(fd, st) != 0) return Status::FromErrno("fstat", errno);
  return Status::OK();
}

Status Env::PRead(int fd, void* buffer, size_t count, off_t offset,
                  size_t* got) {
  return PReadFull(fd, buffer, count, offset, got);
}

Status Env::PWrite(int fd, const void* bytes, size_t count, off_t offset) {
  return PWriteFull(fd, bytes, count, offset);
}

Status Env::SyncData(int fd) {
  if (RetryOnEintr([&] { return ::fdatasync(fd); }) != 0) {
    return Status::FromErrno("fdatasync", errno);
  }
  return Status::OK();
}

Status Env::Truncate(int fd, off_t size) {
  if (RetryOnEintr([&] { return ::ftruncate(fd, size); }) != 0) {
    return Status::FromErrno("ftruncate", errno);
  }
  return Status::OK();
}

Status Env::Sync(int fd) {
  if (RetryOnEintr([&] { return ::fsync(fd); }) != 0) {
    return Status::FromErrno("fsync", errno);
  }
  return Status::OK();
}

Status Env::Rename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return Status::FromErrno("rename", errno);
  }
  return Status::OK();
}

Status Env::Unlink(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return Status::FromErrno("unlink", errno);
  return Status::OK();
}

Status Env::SyncDirectory(const std::string& path) {
  UniqueFd dir;
  Status opened = OpenFile(path, O_RDONLY | O_DIRECTORY, 0, &dir);
  if (!opened.ok()) return opened;
  return Sync(dir.get());
}

Status Env::CreateDirectories(const std::string& path) {
  for (size_t i = 0; i < path.size(); ++i) {
    const bool last = i + 1 == path.size();
    if (path[i] != '/' && !last) continue;
    const std::string prefix = path.substr(0, i + 1);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      return Status::FromErrno("mkdir " + prefix, errno);
    }
  }
  return Status::OK();
}

Status Env::ReadSome(int fd, void* buffer, size_t size, size_t* got) {
  ssize_t n = RetryOnEintr([&] { return ::read(fd, buffer, size); });
  if (n < 0) {
    *got = 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Status::OK();
    return Status::FromErrno("read", errno);
  }
  *got = static_cast<size_t>(n);
  return Status::OK();
}

Status Env::OpenByHandle(int mountFd, struct file_handle* handle, int flags,
                         UniqueFd* fd) {
  int opened = RetryOnEintr(
      [&] { return ::open_by_handle_at(mountFd, handle, flags | O_CLOEXEC); });
  if (opened < 0) return Status::FromErrno("open_by_handle_at", errno);
  fd->reset(opened);
  return Status::OK();
}

Status Env::HandleAt(int dirfd, const char* path, int flags,
                     struct file_handle* handle, int* mountId) {
  if (::name_to_handle_at(dirfd, path, handle, mountId, flags) != 0) {
    return Status::FromErrno("name_to_handle_at", errno);
  }
  return Status::OK();
}

Status Env::StatAt(int dirfd, const char* path, int flags, unsigned mask,
                   struct statx* st) {
  if (::statx(dirfd, path, flags, mask, st) != 0) {
    return Status::FromErrno("statx", errno);
  }
  return Status::OK();
}

Status Env::ReadDirectory(int fd, void* buffer, size_t size, size_t* got) {
  long n = RetryOnEintr(
      [&] { return ::syscall(SYS_getdents64, fd, buffer, size); });
  if (n < 0) {
    *got = 0;
    return Status::FromErrno("getdents64", errno);
  }
  *got = static_cast<size_t>(n);
  return Status::OK();
}

}  // namespace dirsync
