#include "protocol/reply_compress.h"

#include <zlib.h>

namespace dirsync {

size_t CompressLimit(size_t n) { return n + n / 1000 + 12; }

bool CompressForReply(const uint8_t* src, size_t n, ByteBuffer& out,
                      size_t* zippedLength) {
  const size_t limit = CompressLimit(n);
  if (out.size() < limit && !out.Resize(limit)) return false;
  uLongf length = static_cast<uLongf>(limit);
  if (compress(out.data(), &length, src, static_cast<uLong>(n)) != Z_OK) {
    return false;
  }
  *zippedLength = static_cast<size_t>(length);
  return true;
}

}  // namespace dirsync
