// Scratch: the buffers a thread uses while it handles one request: the
// parsed parameters, the reply being built, and the room for data to
// compress. Each thread that handles requests (a network thread, a
// worker) has one of its own, so their size is paid once per thread,
// however many clients there are, and a client that leaves takes nothing
// with it.
#ifndef DIRSYNC_PROTOCOL_THREAD_SCRATCH_H_
#define DIRSYNC_PROTOCOL_THREAD_SCRATCH_H_

#include "platform/byte_buffer.h"
#include "protocol/message_params.h"

namespace dirsync {

struct Scratch {
  // The parsed form of the frame being handled.
  MessageParams params;
  // The outgoing message being built.
  ByteBuffer reply;
  // File contents and listings read for compression (which writes
  // straight into the reply).
  ByteBuffer readBuffer;
};

// The calling thread's scratch, made on first use and freed when the
// thread ends.
Scratch& ThreadScratch();

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_THREAD_SCRATCH_H_
