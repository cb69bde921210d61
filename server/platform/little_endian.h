// Explicit little-endian reads and writes of fixed-width integers at any
// byte address. Every fixed-layout record (frames, catalog records) goes
// through these, never through casts of packed structs.
#ifndef DIRSYNC_PLATFORM_LITTLE_ENDIAN_H_
#define DIRSYNC_PLATFORM_LITTLE_ENDIAN_H_

#include <cstdint>

namespace dirsync {

inline uint32_t LoadLE32(const void* p) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 |
         uint32_t{b[3]} << 24;
}

inline uint64_t LoadLE64(const void* p) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  return uint64_t{LoadLE32(b)} | uint64_t{LoadLE32(b + 4)} << 32;
}

inline void StoreLE32(void* p, uint32_t v) {
  uint8_t* b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v);
  b[1] = static_cast<uint8_t>(v >> 8);
  b[2] = static_cast<uint8_t>(v >> 16);
  b[3] = static_cast<uint8_t>(v >> 24);
}

inline void StoreLE64(void* p, uint64_t v) {
  uint8_t* b = static_cast<uint8_t*>(p);
  StoreLE32(b, static_cast<uint32_t>(v));
  StoreLE32(b + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_LITTLE_ENDIAN_H_
