#include "platform/byte_buffer.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

namespace dirsync {

ByteBuffer::~ByteBuffer() { std::free(data_); }

void ByteBuffer::Release() {
  std::free(data_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

bool ByteBuffer::Reserve(size_t n) {
  if (n <= capacity_) return true;
  // Grow geometrically so that appends one parameter at a time stay cheap.
  size_t wanted = capacity_ + capacity_ / 2;
  if (wanted < n) wanted = n;
  void* grown = std::realloc(data_, wanted);
  if (grown == nullptr) {
    grown = std::realloc(data_, n);
    if (grown == nullptr) return false;
    wanted = n;
  }
  data_ = static_cast<uint8_t*>(grown);
  capacity_ = wanted;
  return true;
}

bool ByteBuffer::Resize(size_t n) {
  if (!Reserve(n)) return false;
  size_ = n;
  return true;
}

void ByteBuffer::Consume(size_t n) {
  assert(n <= size_);
  if (n >= size_) {
    size_ = 0;
    return;
  }
  std::memmove(data_, data_ + n, size_ - n);
  size_ -= n;
}

}  // namespace dirsync
