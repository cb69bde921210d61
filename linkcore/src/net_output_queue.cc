#include "net_output_queue.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/uio.h>

namespace linkcore {

namespace {
// Blocks handed to one sendmsg call.
constexpr size_t kMaxIovecs = 64;
}  // namespace

void OutputQueue::push(const SendBlock& block) {
  blocks_.push_back(block);
  unwritten_ += static_cast<size_t>(block.length - block.written);
}

OutputQueue::WriteResult OutputQueue::writeTo(
    ACE_HANDLE socket, std::vector<SendBlock>* finished) {
  while (!blocks_.empty()) {
    iovec iov[kMaxIovecs];
    size_t count = 0;
    for (auto it = blocks_.begin(); it != blocks_.end() && count < kMaxIovecs;
         ++it, ++count) {
      iov[count].iov_base = it->data + it->written;
      iov[count].iov_len = static_cast<size_t>(it->length - it->written);
    }
    msghdr message = {};
    message.msg_iov = iov;
    message.msg_iovlen = count;
    // MSG_NOSIGNAL: a peer that is gone must fail the write, not raise
    // SIGPIPE in the host process.
    ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return WriteResult::kBlocked;
      return WriteResult::kFailed;
    }
    size_t left = static_cast<size_t>(sent);
    unwritten_ -= left;
    while (left > 0) {
      SendBlock& front = blocks_.front();
      const size_t rest = static_cast<size_t>(front.length - front.written);
      if (left < rest) {
        front.written += static_cast<int>(left);
        return WriteResult::kBlocked;  // the socket took less than offered
      }
      left -= rest;
      front.written = front.length;
      finished->push_back(front);
      blocks_.pop_front();
    }
  }
  return WriteResult::kDrained;
}

void OutputQueue::takeAll(std::vector<SendBlock>* out) {
  for (const SendBlock& block : blocks_) out->push_back(block);
  blocks_.clear();
  unwritten_ = 0;
}

}  // namespace linkcore
