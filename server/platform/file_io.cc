#include "platform/file_io.h"

#include <fcntl.h>
#include <unistd.h>

namespace dirsync {

Status OpenFile(const std::string& path, int flags, mode_t mode, UniqueFd* fd) {
  int opened = RetryOnEintr(
      [&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
  if (opened < 0) return Status::FromErrno("open " + path, errno);
  fd->reset(opened);
  return Status::OK();
}

Status PReadFull(int fd, void* buffer, size_t count, off_t offset,
                 size_t* got) {
  char* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t n = RetryOnEintr([&] {
      return ::pread(fd, out + done, count - done,
                     offset + static_cast<off_t>(done));
    });
    if (n < 0) {
      *got = done;
      return Status::FromErrno("pread", errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  *got = done;
  return Status::OK();
}

Status ReadFull(int fd, void* buffer, size_t count, size_t* got) {
  char* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t n = RetryOnEintr([&] { return ::read(fd, out + done, count - done); });
    if (n < 0) {
      *got = done;
      return Status::FromErrno("read", errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  *got = done;
  return Status::OK();
}

Status PWriteFull(int fd, const void* bytes, size_t count, off_t offset) {
  const char* in = static_cast<const char*>(bytes);
  size_t done = 0;
  while (done < count) {
    ssize_t n = RetryOnEintr([&] {
      return ::pwrite(fd, in + done, count - done,
                      offset + static_cast<off_t>(done));
    });
    if (n < 0) return Status::FromErrno("pwrite", errno);
    if (n == 0) return Status::IOError("pwrite", EIO);
    done += static_cast<size_t>(n);
  }
  return Status::OK();
}

Status WriteFull(int fd, const void* bytes, size_t count) {
  const char* in = static_cast<const char*>(bytes);
  size_t done = 0;
  while (done < count) {
    ssize_t n = RetryOnEintr([&] { return ::write(fd, in + done, count - done); });
    if (n < 0) return Status::FromErrno("write", errno);
    if (n == 0) return Status::IOError("write", EIO);
    done += static_cast<size_t>(n);
  }
  return Status::OK();
}

Status ReadWholeFile(const std::string& path, std::string* contents) {
  UniqueFd fd;
  Status opened = OpenFile(path, O_RDONLY, 0, &fd);
  if (!opened.ok()) return opened;
  contents->clear();
  char buffer[8192];
  while (true) {
    size_t got = 0;
    Status read = ReadFull(fd.get(), buffer, sizeof buffer, &got);
    contents->append(buffer, got);
    if (!read.ok()) return Status::FromErrno("read " + path, read.error());
    if (got < sizeof buffer) return Status::OK();
  }
}

}  // namespace dirsync
