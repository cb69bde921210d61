// Env: the operating system as the server's disk and journal code see it.
// Code that writes stores or reads the journal takes an Env* instead of
// calling the system directly, so that tests can hand in an Env that fails
// on purpose (a full disk, a failing read, no descriptors left) and reach
// every error path. Every call the store makes on its file and every call
// the journal makes to open, name, read or stat entries goes through here.
//
// Env::Default() is the real system; it holds no state and lives for the
// whole process. Every method is thread safe.
#ifndef DIRSYNC_PLATFORM_ENV_H_
#define DIRSYNC_PLATFORM_ENV_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/status.h"
#include "platform/unique_fd.h"

namespace dirsync {

class Env {
 public:
  virtual ~Env() = default;

  static Env* Default();

  // Opens path (O_CLOEXEC is added); *fd owns the descriptor on success.
  virtual Status OpenFile(const std::string& path, int flags, mode_t mode,
                          UniqueFd* fd);
  // fstat of an open descriptor.
  virtual Status Stat(int fd, struct stat* st);
  // Reads count bytes at offset, or up to the end of the file; *got is the
  // number read, also after a failure.
  virtual Status PRead(int fd, void* buffer, size_t count, off_t offset,
                       size_t* got);
  // Writes all count bytes at offset.
  virtual Status PWrite(int fd, const void* bytes, size_t count, off_t offset);
  // fdatasync.
  virtual Status SyncData(int fd);
  // ftruncate.
  virtual Status Truncate(int fd, off_t size);
  // fsync: data and metadata (the size of a new file) are on disk.
  virtual Status Sync(int fd);
  // rename(2): replaces to atomically.
  virtual Status Rename(const std::string& from, const std::string& to);
  // unlink(2); a missing file is kNotFound.
  virtual Status Unlink(const std::string& path);
  // fsync of a directory, so that a rename or creation inside it lasts.
  virtual Status SyncDirectory(const std::string& path);
  // Creates every missing directory of path, parents first.
  virtual Status CreateDirectories(const std::string& path);
  // One read of what a descriptor holds now (a non-blocking event queue):
  // *got bytes, 0 when nothing is there.
  virtual Status ReadSome(int fd, void* buffer, size_t size, size_t* got);

  // open_by_handle_at through the mount that mountFd lies on (O_CLOEXEC is
  // added); *fd owns the descriptor on success. ESTALE says the entry no
  // longer exists.
  virtual Status OpenByHandle(int mountFd, struct file_handle* handle,
                              int flags, UniqueFd* fd);
  // name_to_handle_at: the handle and mount id of path (relative to
  // dirfd). handle->handle_bytes holds the room on entry.
  virtual Status HandleAt(int dirfd, const char* path, int flags,
                          struct file_handle* handle, int* mountId);
  // statx of path relative to dirfd (AT_EMPTY_PATH with "" for dirfd
  // itself).
  virtual Status StatAt(int dirfd, const char* path, int flags, unsigned mask,
                        struct statx* st);
  // One getdents64 of the directory open at fd: *got bytes, 0 at its end.
  virtual Status ReadDirectory(int fd, void* buffer, size_t size, size_t* got);
};

// An Env that passes every call to another one; tests derive from it and
// override what they make fail.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  Status OpenFile(const std::string& path, int flags, mode_t mode,
                  UniqueFd* fd) override {
    return target_->OpenFile(path, flags, mode, fd);
  }
  Status Stat(int fd, struct stat* st) override { return target_->Stat(fd, st); }
  Status PRead(int fd, void* buffer, size_t count, off_t offset,
               size_t* got) override {
    return target_->PRead(fd, buffer, count, offset, got);
  }
  Status PWrite(int fd, const void* bytes, size_t count, off_t offset) override {
    return target_->PWrite(fd, bytes, count, offset);
  }
  Status SyncData(int fd) override { return target_->SyncData(fd); }
  Status Truncate(int fd, off_t size) override {
    return target_->Truncate(fd, size);
  }
  Status Sync(int fd) override { return target_->Sync(fd); }
  Status Rename(const std::string& from, const std::string& to) override {
    return target_->Rename(from, to);
  }
  Status Unlink(const std::string& path) override {
    return target_->Unlink(path);
  }
  Status SyncDirectory(const std::string& path) override {
    return target_->SyncDirectory(path);
  }
  Status CreateDirectories(const std::string& path) override {
    return target_->CreateDirectories(path);
  }
  Status ReadSome(int fd, void* buffer, size_t size, size_t* got) override {
    return target_->ReadSome(fd, buffer, size, got);
  }
  Status OpenByHandle(int mountFd, struct file_handle* handle, int flags,
                      UniqueFd* fd) override {
    return target_->OpenByHandle(mountFd, handle, flags, fd);
  }
  Status HandleAt(int dirfd, const char* path, int flags,
                  struct file_handle* handle, int* mountId) override {
    return target_->HandleAt(dirfd, path, flags, handle, mountId);
  }
  Status StatAt(int dirfd, const char* path, int flags, unsigned mask,
                struct statx* st) override {
    return target_->StatAt(dirfd, path, flags, mask, st);
  }
  Status ReadDirectory(int fd, void* buffer, size_t size,
                       size_t* got) override {
    return target_->ReadDirectory(fd, buffer, size, got);
  }

 private:
  Env* const target_;
};

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_ENV_H_
