// The compression of "list" and "dload" data: zlib's one-shot compress at
// the default level into the link's zipBuffer, with an output limit of
// n + n/1000 + 12 bytes for n input bytes. Runs on the link's data thread.
#ifndef DIRSYNC_PROTOCOL_REPLY_COMPRESS_H_
#define DIRSYNC_PROTOCOL_REPLY_COMPRESS_H_

#include <cstddef>
#include <cstdint>

#include "platform/byte_buffer.h"

namespace dirsync {

// The output limit for n input bytes.
size_t CompressLimit(size_t n);

// Compresses n bytes at src into out (grown to the limit and kept). On
// success stores the stream's length in *zippedLength and returns true.
bool CompressForReply(const uint8_t* src, size_t n, ByteBuffer& out,
                      size_t* zippedLength);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_REPLY_COMPRESS_H_
