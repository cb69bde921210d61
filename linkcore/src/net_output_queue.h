// The output of one connection that the socket has not taken yet.
//
// Each entry is the library's copy of one send, in call order, with the
// number of its bytes already written. Not thread safe: the owning handler
// guards it with its write lock.
#ifndef LINKCORE_NET_OUTPUT_QUEUE_H_
#define LINKCORE_NET_OUTPUT_QUEUE_H_

#include <stddef.h>

#include <deque>
#include <vector>

#include <ace/config-lite.h>

namespace linkcore {

// One send's bytes, owned by the library until written (and reported).
// On an encrypted connection data holds the encrypted bytes; the host's
// own bytes, when a sent callback wants them, are kept in report, and
// bytes the session produced on its own (handshake, alerts) are quiet.
struct SendBlock {
  char* data;
  int length;
  int written;
  char* report = nullptr;  // what the sent callback shows instead of data
  int reportLength = 0;
  bool quiet = false;      // no sent callback for this block
};

class OutputQueue {
 public:
  enum class WriteResult { kDrained, kBlocked, kFailed };

  OutputQueue() = default;
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  bool empty() const { return blocks_.empty(); }
  // Bytes queued and not yet written.
  size_t unwrittenBytes() const { return unwritten_; }

  // Appends a block whose first block.written bytes are already out.
  void push(const SendBlock& block);

  // Writes queued bytes in order until the queue is empty (kDrained), the
  // socket would block (kBlocked) or the write fails (kFailed). Blocks
  // written completely are appended to *finished in order.
  WriteResult writeTo(ACE_HANDLE socket, std::vector<SendBlock>* finished);

  // Removes every block, in order, into *out.
  void takeAll(std::vector<SendBlock>* out);

 private:
  std::deque<SendBlock> blocks_;
  size_t unwritten_ = 0;
};

}  // namespace linkcore

#endif  // LINKCORE_NET_OUTPUT_QUEUE_H_
