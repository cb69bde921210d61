// The compression of "list" and "dload" data into a zlib stream, made for
// speed: libdeflate at its fastest level (several times zlib's speed, at a
// ratio a little below zlib's default), and data that does not compress
// is sent in stored deflate blocks (a copy and a checksum) instead of
// being squeezed in vain. Any zlib inflater reads both. The output never
// passes n + n/1000 + 12 bytes for n input bytes.
//
// Each thread that compresses keeps one compressor of its own; the
// functions are thread safe.
#ifndef DIRSYNC_PROTOCOL_REPLY_COMPRESS_H_
#define DIRSYNC_PROTOCOL_REPLY_COMPRESS_H_

#include <cstddef>
#include <cstdint>

#include "platform/byte_buffer.h"

namespace dirsync {

// The output limit for n input bytes.
size_t CompressLimit(size_t n);

// Compresses n bytes at src into out (grown to the limit and kept). On
// success stores the stream's length in *zippedLength and returns true;
// false only when memory cannot be had.
bool CompressForReply(const uint8_t* src, size_t n, ByteBuffer& out,
                      size_t* zippedLength);

// Writes the zlib stream of n bytes at src to out, which has room for
// CompressLimit(n) bytes; returns its length, or 0 when no compressor can
// be had (memory is short).
size_t CompressInto(const uint8_t* src, size_t n, uint8_t* out);

// Appends the parameter "data" to reply with the compressed form of the n
// bytes at src as its value, written straight into the reply. False when
// memory is short; the reply is then as it was before the call (or empty,
// when its memory ran out).
bool AppendCompressedData(ByteBuffer& reply, const uint8_t* src, size_t n);

// The zlib stream of n bytes in stored blocks, written to out (room for
// CompressLimit(n) bytes); returns its length.
size_t StoreUncompressed(const uint8_t* src, size_t n, uint8_t* out);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_REPLY_COMPRESS_H_
