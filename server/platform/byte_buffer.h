// ByteBuffer: a growable byte string that keeps its capacity.
//
// The buffers of request handling (reassembly, file data, replies,
// compression output) grow to a few MiB and are reused from request to
// request. Unlike std::vector, growing the size does not fill the new
// bytes, so reserving or sizing a 4 MiB buffer costs no page until bytes
// are written there.
//
// Allocation failures are reported by result (false), never by exception.
// Not thread safe: a buffer is used by one thread at a time.
#ifndef DIRSYNC_PLATFORM_BYTE_BUFFER_H_
#define DIRSYNC_PLATFORM_BYTE_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dirsync {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ~ByteBuffer();
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }

  // Makes room for at least n bytes, keeping the content. False when the
  // memory cannot be had; the buffer is then unchanged.
  bool Reserve(size_t n);
  // Sets the size to n, growing the capacity when needed; bytes beyond the
  // old size are left unwritten. False when the memory cannot be had.
  bool Resize(size_t n);
  // Empties the buffer; the capacity stays.
  void Clear() { size_ = 0; }
  // Empties the buffer and gives its memory back.
  void Release();
  // Appends n bytes. False when the memory cannot be had. Inline: replies
  // are built from many appends of a few bytes each, which then compile
  // to plain stores.
  bool Append(const void* bytes, size_t n) {
    if (n > capacity_ - size_ && !Reserve(size_ + n)) return false;
    if (n != 0) std::memcpy(data_ + size_, bytes, n);
    size_ += n;
    return true;
  }
  // Grows the size by n and returns where the n new (unwritten) bytes
  // begin, for the caller to fill; null when the memory cannot be had.
  uint8_t* Extend(size_t n) {
    if (n > capacity_ - size_ && !Reserve(size_ + n)) return nullptr;
    uint8_t* at = data_ + size_;
    size_ += n;
    return at;
  }
  // Removes the first n bytes (n <= size), moving the rest to the front.
  void Consume(size_t n);

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_BYTE_BUFFER_H_
