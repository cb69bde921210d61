// File handles of one filesystem packed into 64-bit file references.
//
// The journal layer names every entry by its file handle. A catalog keys
// entries by a 64-bit file reference, so the handle must fit: the 8-byte
// handle of ext4 (u32 inode, u32 generation) is taken as it is; the 12-byte
// handle of tmpfs (u32 generation, u32 inode low, u32 inode high) packs as
// inode | generation << 32 while the high inode word is 0. Either way the
// reference reads inode | generation << 32.
#ifndef DIRSYNC_JOURNAL_FILE_HANDLE_H_
#define DIRSYNC_JOURNAL_FILE_HANDLE_H_

#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/status.h"

namespace dirsync {

// Room for any handle the kernel gives (MAX_HANDLE_SZ is 128).
struct FileHandleBuffer {
  static constexpr size_t kMaxBytes = 128;
  alignas(struct file_handle) unsigned char storage[sizeof(struct file_handle) + kMaxBytes];
  FileHandleBuffer();
  struct file_handle* get() { return reinterpret_cast<struct file_handle*>(storage); }
  const struct file_handle* get() const {
    return reinterpret_cast<const struct file_handle*>(storage);
  }
};

// Learned once per volume, then read-only: thread safe after Learn.
class FileHandleCodec {
 public:
  enum class Layout { kUnknown, kInodeGeneration8, kGenerationInode12 };

  // Learns the handle format of the filesystem from the directory open at
  // fd. Fails, saying why in one line, when the filesystem gives no file
  // handles or handles that do not pack into 64 bits (naming its type).
  Status Learn(int fd);

  // Packs a handle of this filesystem. False for a handle of another type
  // or size, or one whose inode does not fit 32 bits.
  bool Pack(int handleType, const unsigned char* bytes, size_t size,
            uint64_t* ref) const;
  bool Pack(const struct file_handle& handle, uint64_t* ref) const {
    return Pack(handle.handle_type, handle.f_handle, handle.handle_bytes, ref);
  }
  // The handle a reference stands for.
  void Unpack(uint64_t ref, FileHandleBuffer* out) const;

  // For tests: a codec of a given layout and handle type.
  static FileHandleCodec ForLayout(Layout layout, int handleType);

  Layout layout() const { return layout_; }
  int handleType() const { return type_; }

 private:
  Layout layout_ = Layout::kUnknown;
  int type_ = 0;
};

// The inode number a file reference names (its low 32 bits, whatever the
// layout).
inline uint32_t InodeOfReference(uint64_t ref) { return static_cast<uint32_t>(ref); }

// The filesystem type of the mount with that id, from /proc/self/mountinfo
// ("ext4", "tmpfs", ...); empty when unknown.
std::string FilesystemTypeOfMount(int mountId);

}  // namespace dirsync

#endif  // DIRSYNC_JOURNAL_FILE_HANDLE_H_
