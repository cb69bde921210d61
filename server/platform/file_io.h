// Whole reads and writes on descriptors. Every loop over a short transfer
// or a call interrupted by a signal (EINTR) lives here, nowhere else.
// Thread safe (positioned calls never move the file offset).
#ifndef DIRSYNC_PLATFORM_FILE_IO_H_
#define DIRSYNC_PLATFORM_FILE_IO_H_

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include "platform/status.h"
#include "platform/unique_fd.h"

namespace dirsync {

// Calls call() again while it fails with EINTR; returns its last result.
template <typename Call>
auto RetryOnEintr(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// Opens path; on success *fd owns the descriptor (O_CLOEXEC is added).
Status OpenFile(const std::string& path, int flags, mode_t mode, UniqueFd* fd);

// Reads count bytes at offset, going on after short reads, until count
// bytes or the end of the file. *got is the number read, also when the
// Status reports a failure after some bytes came.
Status PReadFull(int fd, void* buffer, size_t count, off_t offset,
                 size_t* got);
// The same from the file offset, for descriptors that cannot seek.
Status ReadFull(int fd, void* buffer, size_t count, size_t* got);

// Writes all count bytes at offset (or at the file offset). A write that
// makes no progress is reported as EIO; a short one is followed by one for
// the rest, which tells why the file took no more (ENOSPC, EFBIG, ...).
Status PWriteFull(int fd, const void* bytes, size_t count, off_t offset);
Status WriteFull(int fd, const void* bytes, size_t count);

// Reads the whole file at path (a regular file or anything readable to
// its end) into *contents.
Status ReadWholeFile(const std::string& path, std::string* contents);

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_FILE_IO_H_
