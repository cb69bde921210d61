#include "protocol/reply_compress.h"

#include <libdeflate.h>

#include <algorithm>
#include <cassert>
#include <cstring>

#include "protocol/reply_builder.h"

namespace dirsync {
namespace {

// libdeflate's fastest level: the network, not the ratio, is what a
// transfer waits for.
constexpr int kLevel = 1;
// Ranges at least twice this long are judged by a sample of this size from
// their middle before the whole range is compressed.
constexpr size_t kSampleSize = 64 * 1024;
// A sample that compresses to more than 15/16 of its size is not worth it.
constexpr bool Incompressible(size_t in, size_t out) { return out > in - in / 16; }
// The longest stored deflate block.
constexpr size_t kStoredBlock = 65535;

// One compressor per thread, made on first use and freed with the thread.
libdeflate_compressor* ThreadCompressor() {
  struct Holder {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(kLevel);
    ~Holder() { libdeflate_free_compressor(compressor); }
  };
  thread_local Holder holder;
  return holder.compressor;
}

void PutLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

size_t CompressLimit(size_t n) { return n + n / 1000 + 12; }

size_t StoreUncompressed(const uint8_t* src, size_t n, uint8_t* out) {
  uint8_t* p = out;
  // zlib header: deflate with a 32 KiB window, no dictionary, check bits.
  *p++ = 0x78;
  *p++ = 0x01;
  size_t done = 0;
  do {
    const size_t length = std::min(kStoredBlock, n - done);
    const bool last = done + length == n;
    *p++ = last ? 1 : 0;  // BFINAL, BTYPE 00 (stored), padded to the byte
    PutLE16(p, static_cast<uint16_t>(length));
    PutLE16(p + 2, static_cast<uint16_t>(~length));
    p += 4;
    if (length > 0) std::memcpy(p, src + done, length);
    p += length;
    done += length;
  } while (done < n);
  // libdeflate's checksum runs several times as fast as zlib's, whose
  // checksum would be most of the cost of sending a stored range.
  const uint32_t check = libdeflate_adler32(1, src, n);
  *p++ = static_cast<uint8_t>(check >> 24);
  *p++ = static_cast<uint8_t>(check >> 16);
  *p++ = static_cast<uint8_t>(check >> 8);
  *p++ = static_cast<uint8_t>(check);
  const size_t written = static_cast<size_t>(p - out);
  assert(written <= CompressLimit(n));
  return written;
}

size_t CompressInto(const uint8_t* src, size_t n, uint8_t* out) {
  const size_t limit = CompressLimit(n);
  libdeflate_compressor* compressor = ThreadCompressor();
  if (compressor == nullptr) return 0;
  bool worthIt = true;
  if (n >= 2 * kSampleSize) {
    const uint8_t* sample = src + (n - kSampleSize) / 2;
    const size_t sampled =
        libdeflate_zlib_compress(compressor, sample, kSampleSize, out, limit);
    worthIt = sampled != 0 && !Incompressible(kSampleSize, sampled);
  }
  size_t length = 0;
  if (worthIt) length = libdeflate_zlib_compress(compressor, src, n, out, limit);
  // Not compressed, or not into the limit: stored blocks always fit.
  if (length == 0) length = StoreUncompressed(src, n, out);
  return length;
}

bool CompressForReply(const uint8_t* src, size_t n, ByteBuffer& out,
                      size_t* zippedLength) {
  const size_t limit = CompressLimit(n);
  if (out.size() < limit && !out.Resize(limit)) return false;
  *zippedLength = CompressInto(src, n, out.data());
  return *zippedLength != 0;
}

bool AppendCompressedData(ByteBuffer& reply, const uint8_t* src, size_t n) {
  const size_t before = reply.size();
  uint8_t* data = BeginOpenParam(reply, "data", CompressLimit(n));
  if (data == nullptr) return false;
  const size_t length = CompressInto(src, n, data);
  if (length == 0) {
    TruncateReply(reply, before);
    return false;
  }
  FinishOpenParam(reply, data, static_cast<int32_t>(length));
  return true;
}

}  // namespace dirsync
