#include "net_handler.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <new>
#include <string>

#include <ace/ACE.h>
#include <ace/Flag_Manip.h>
#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_sys_socket.h>

#include "net_loop.h"
#include "net_server.h"
#include "socket_calls.h"

namespace linkcore {

KRL_NetHandler::KRL_NetHandler(ACE_HANDLE socket, const ACE_INET_Addr& remote,
                               const ACE_INET_Addr& local, KRL_NetLoop* loop)
    : id_(KRL_NetServer::instance().takeConnectionId()),
      remoteAddress_(remote),
      localAddress_(local),
      loop_(loop),
      socket_(socket) {
  KRL_NetServer::instance().handlerBuilt();
}

KRL_NetHandler::~KRL_NetHandler() {
  // No reference is left, so the handler has left its loop (the loop's
  // reference went with it) and no other thread can reach it.
  const ACE_HANDLE socket = socket_.load();
  if (socket != ACE_INVALID_HANDLE) ACE_OS::closesocket(socket);
  std::vector<SendBlock> left;
  output_.takeAll(&left);
  left.insert(left.end(), finished_.begin(), finished_.end());
  left.insert(left.end(), heldPlain_.begin(), heldPlain_.end());
  dropBlocks(&left);
  // The last touch of the server: shutdown goes on once every handler
  // has been counted here.
  KRL_NetServer::instance().handlerDestroyed(closeTicks_.load() != 0);
}

void KRL_NetHandler::release(KRL_NetHandler* handler) {
  if (handler->loop_ == nullptr) {
    delete handler;  // no thread but the caller's can be inside it
    return;
  }
  // A loop thread runs the destruction, after the upcall this thread may
  // be in now. Without memory to queue it (logged by post), the handler is
  // left alone rather than destroyed on a thread that may be inside it;
  // shutdown would then wait for it.
  handler->loop_->post(&KRL_NetHandler::destroyPosted, handler);
}

void KRL_NetHandler::destroyPosted(void* handler) {
  delete static_cast<KRL_NetHandler*>(handler);
}

uint32_t KRL_NetHandler::create(ACE_HANDLE socket, const ACE_INET_Addr& remote,
                                const ACE_INET_Addr& local, KRL_NetLoop* loop,
                                int listenPort, NetDataCallback onData,
                                NetEventCallback onEvent,
                                NetSentCallback onSent,
                                std::unique_ptr<TlsSession> tls) {
  KRL_NetHandler* built =
      new (std::nothrow) KRL_NetHandler(socket, remote, local, loop);
  if (built == nullptr) {
    ACE_OS::closesocket(socket);
    return 0;
  }
  built->tls_ = std::move(tls);
  built->dataCallback_ = onData;
  built->eventCallback_ = onEvent;
  built->sentCallback_ = onSent;
  std::shared_ptr<KRL_NetHandler> handler;
  try {
    handler.reset(built, &KRL_NetHandler::release);
  } catch (const std::bad_alloc&) {
    return 0;  // reset has released the handler, and the socket with it
  }
  // On failure this reference is the only one, and its release closes the
  // socket.
  if (!handler->open(listenPort)) return 0;
  return handler->id();
}

bool KRL_NetHandler::open(int listenPort) {
  const ACE_HANDLE socket = socket_.load();
  // The loop needs a socket that never blocks; replies go out at once
  // rather than waiting for the peer's acknowledgement (no Nagle delay).
  ACE::set_flags(socket, ACE_NONBLOCK);
  int one = 1;
  ACE_OS::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY,
                     reinterpret_cast<const char*>(&one), sizeof one);

  if (loop_ != nullptr && !loop_->canHold(socket)) {
    errno = EMFILE;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"),
               ACE_TEXT("ACE_Asynch_Read_Stream::open")));
    return false;
  }
  KRL_NetServer& server = KRL_NetServer::instance();
  // Fails only when the id counter has wrapped onto a live id.
  if (!server.connectionTable().add(id_, shared_from_this())) return false;
  if (listenPort >= 0) {
    server.copyListenCallbacks(listenPort, &dataCallback_, &eventCallback_,
                               &sentCallback_);
  }
  if (eventCallback_ != nullptr) eventCallback_(id_, 1);
  if (tls_ != nullptr && !tls_->handshakeDone()) {
    server.watchHandshake(shared_from_this());
  }
  startRead();
  return true;
}

void KRL_NetHandler::startRead() {
  bool failed = false;
  std::shared_ptr<KRL_NetHandler> unused;  // let go after writeLock_
  {
    ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
    // A connection closed during its open event never joins the loop.
    if (loop_ == nullptr || closeTicks_.load() != 0 || socketShut_) return;
    unsigned mask = KRL_NetLoop::kInput;
    if (!output_.empty() || !finished_.empty()) mask |= KRL_NetLoop::kOutput;
    // Taken before the loop can first call in.
    registration_ = shared_from_this();
    if (!loop_->add(this, socket_.load(), mask)) {
      unused.swap(registration_);
      failed = true;
    } else {
      registered_ = true;
      interest_ = mask;
      // An outgoing connection's handshake may have read past its end.
      kickBufferedInputLocked();
    }
  }
  if (failed) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"),
               ACE_TEXT("linkcore: joining the loop")));
    onReadEnd();
  }
}

int KRL_NetHandler::handle_input(ACE_HANDLE) {
  // A read that filled the buffer may have left more in the socket, which
  // the loop reports only on the next change: it is asked to call again.
  bool more = false;
  if (closeTicks_.load() == 0 && tls_ != nullptr) {
    more = tlsInput();
  } else if (closeTicks_.load() == 0) {
    ssize_t received;
    do {
      received =
          ReceiveFromSocket(socket_.load(), readBuffer_, kMaxRead, 0);
    } while (received < 0 && errno == EINTR);
    if (received > 0) {
      onData(static_cast<int>(received));
      more = received == kMaxRead;
    } else if (received == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      onReadEnd();  // the peer's orderly close, or a failed read
    }
  }
  updateInterest();
  return more ? 1 : 0;
}

namespace {
// The handler whose data callback this thread is in (the innermost one).
thread_local KRL_NetHandler* tl_receiving = nullptr;
}  // namespace

KRL_NetHandler* KRL_NetHandler::receivingOnThisThread(uint32_t id) {
  KRL_NetHandler* handler = tl_receiving;
  // An id leaves the table only once its close has begun.
  if (handler == nullptr || handler->id_ != id ||
      handler->closeTicks_.load() != 0) {
    return nullptr;
  }
  return handler;
}

void KRL_NetHandler::onData(int length) {
  readBuffer_[length] = 0;
  if (dataCallback_ == nullptr) return;
  // Restored however the callback ends.
  struct Receiving {
    KRL_NetHandler* const outer = tl_receiving;
    explicit Receiving(KRL_NetHandler* handler) { tl_receiving = handler; }
    ~Receiving() { tl_receiving = outer; }
  } receiving(this);
  dataCallback_(id_, readBuffer_, length);
}

bool KRL_NetHandler::tlsInput() {
  bool ended = false;  // the peer closed its side, or the read failed
  bool full = false;   // the read filled the buffer
  bool wanted;
  {
    ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
    // A handshake goes on while sends wait for it, however many.
    wanted = !inputHeld_ && (!readPaused_ || !tls_->handshakeDone());
  }
  // A call asked for by kickBufferedInputLocked may find the socket empty.
  if (wanted) {
    ssize_t received;
    do {
      received =
          ReceiveFromSocket(socket_.load(), readBuffer_, kMaxRead, 0);
    } while (received < 0 && errno == EINTR);
    if (received > 0) {
      full = received == kMaxRead;
      ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
      if (!tls_->feed(readBuffer_, static_cast<size_t>(received))) ended = true;
    } else if (received == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      ended = true;
    }
  }
  // Deliver what decrypts, one chunk per callback, while reading is
  // wanted; the callback may hold input or close the connection.
  for (;;) {
    if (closeTicks_.load() != 0) return false;
    TlsSession::Step step;
    int length = 0;
    bool held = false;
    bool writeFailed = false;
    bool inHandshake;
    std::string failure;
    {
      ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
      inHandshake = !tls_->handshakeDone();
      step = tls_->handshake();
      if (step == TlsSession::Step::kDone && inHandshake &&
          !sendHeldPlainLocked()) {
        writeFailed = true;
      }
      if (step == TlsSession::Step::kDone) {
        if (inputHeld_ || readPaused_) {
          held = true;
        } else {
          length = tls_->read(readBuffer_, kMaxRead, &step);
        }
      }
      // Handshake messages, alerts and answers to the peer's records.
      if (!flushTlsOutputLocked(nullptr, 0)) writeFailed = true;
      if (step == TlsSession::Step::kFailed) failure = tls_->failure();
    }
    if (step == TlsSession::Step::kFailed) {
      tlsFailed(failure, inHandshake);
      return false;
    }
    if (writeFailed) {
      onWriteFailed();
      return false;
    }
    if (length > 0) {
      onData(length);
      continue;
    }
    if (step == TlsSession::Step::kClosed) {
      onReadEnd();  // the peer's close_notify
      return false;
    }
    // Held: what is buffered waits for the hold's release. An end of the
    // stream is seen again then, as the socket stays at its end.
    if (held) return false;
    // Everything fed is delivered.
    if (ended) onReadEnd();
    return full && !ended;
  }
}

std::string KRL_NetHandler::peerText() const {
  char text[64];
  snprintf(text, sizeof text, "%s:%u", remoteAddress_.get_host_addr(),
           static_cast<unsigned>(remoteAddress_.get_port_number()));
  return text;
}

void KRL_NetHandler::tlsFailed(const std::string& reason, bool inHandshake) {
  ACE_ERROR((LM_WARNING,
             ACE_TEXT("linkcore: TLS %C with %C failed: %C; closed\n"),
             inHandshake ? "handshake" : "connection", peerText().c_str(),
             reason.c_str()));
  disconnect();
}

bool KRL_NetHandler::handshakePending() {
  ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
  return tls_ != nullptr && !tls_->handshakeDone();
}

void KRL_NetHandler::handshakeExpired(int timeoutMs) {
  if (closeTicks_.load() != 0 || !handshakePending()) return;
  ACE_ERROR((LM_WARNING,
             ACE_TEXT("linkcore: TLS handshake with %C not finished within "
                      "%d ms; closed\n"),
             peerText().c_str(), timeoutMs));
  disconnect();
}

bool KRL_NetHandler::sendTlsLocked(const char* data, int length) {
  if (!tls_->handshakeDone()) {
    // Kept, and encrypted once the handshake is complete. Without memory
    // the whole send is dropped, which leaves the stream whole.
    char* copy = new (std::nothrow) char[length];
    if (copy == nullptr) return true;
    memcpy(copy, data, static_cast<size_t>(length));
    SendBlock block = {copy, length, 0};
    heldPlain_.push_back(block);
    heldPlainBytes_ += static_cast<size_t>(length);
    refreshInterestLocked();
    return true;
  }
  bool ok = true;
  for (int offset = 0, piece = 0; ok && offset < length; offset += piece) {
    const int rest = length - offset;
    piece = rest <= kTlsWritePiece + kTlsWritePiece / 4 ? rest : kTlsWritePiece;
    if (!tls_->reserveOutput(static_cast<size_t>(piece)) ||
        !tls_->write(data + offset, piece)) {
      ok = false;
      break;
    }
    char* report = nullptr;
    if (offset + piece == length && sentCallback_ != nullptr &&
        loop_ != nullptr) {
      // The host's bytes, for the sent callback once the last piece is out
      // (no memory: no callback for this send).
      report = new (std::nothrow) char[length];
      if (report != nullptr) memcpy(report, data, static_cast<size_t>(length));
    }
    ok = flushTlsOutputLocked(report, report != nullptr ? length : 0);
  }
  tls_->trimOutput();
  return ok;
}

bool KRL_NetHandler::sendHeldPlainLocked() {
  std::vector<SendBlock> held;
  held.swap(heldPlain_);
  heldPlainBytes_ = 0;
  bool ok = true;
  for (const SendBlock& block : held) {
    if (ok) ok = sendTlsLocked(block.data, block.length);
  }
  dropBlocks(&held);
  return ok;
}

bool KRL_NetHandler::flushTlsOutputLocked(char* report, int reportLength) {
  const char* bytes = nullptr;
  const int length = static_cast<int>(tls_->output(&bytes));
  int written = 0;
  if (length > 0) {
    written = output_.empty() ? writeNow(bytes, length) : 0;
    if (written < 0) {
      tls_->clearOutput();
      delete[] report;
      return false;
    }
  }
  // What the socket did not take is queued as it is: the session's buffer
  // itself goes to the queue, so encrypted bytes are never copied.
  SendBlock block = {nullptr, 0, 0};
  if (written < length) {
    size_t released;
    block.data = tls_->releaseOutput(&released);
    block.length = static_cast<int>(released);
    block.written = written;
  } else {
    tls_->clearOutput();
  }
  block.report = report;
  block.reportLength = reportLength;
  block.quiet = report == nullptr;
  if (block.data != nullptr) {
    output_.push(block);
    refreshInterestLocked();
  } else if (report != nullptr) {
    finished_.push_back(block);
    refreshInterestLocked();
  }
  return true;
}

void KRL_NetHandler::kickBufferedInputLocked() {
  if (tls_ == nullptr || !registered_ || closeTicks_.load() != 0 ||
      inputHeld_ || readPaused_ || !tls_->hasBufferedInput()) {
    return;
  }
  // The loop calls handle_input for it, as long as the handler is
  // registered (its upcalls run with the loop's reference held).
  loop_->requestInput(socket_.load());
}

int KRL_NetHandler::handle_output(ACE_HANDLE) {
  std::vector<SendBlock> written;
  bool failed = false;
  bool leave = false;
  NetDrainCallback drained = nullptr;
  {
    ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
    written.swap(finished_);
    if (socketShut_ ||
        output_.writeTo(socket_.load(), &written) ==
            OutputQueue::WriteResult::kFailed) {
      failed = true;
    } else {
      drained = takeDueDrainLocked();
      leave = !refreshInterestLocked();
    }
  }
  // Blocks written completely are reported even when the connection has
  // failed since: their bytes did go out.
  deliverSent(&written);
  if (failed) {
    onWriteFailed();
    leaveLoop();
    return 0;
  }
  if (drained != nullptr && closeTicks_.load() == 0) drained(id_);
  if (leave) leaveLoop();
  return 0;
}

NetDrainCallback KRL_NetHandler::takeDueDrainLocked() {
  if (drainCallback_ == nullptr || unwrittenLocked() > drainMark_) {
    return nullptr;
  }
  NetDrainCallback due = drainCallback_;
  drainCallback_ = nullptr;
  return due;
}

void KRL_NetHandler::holdInput(bool hold) {
  ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
  if (inputHeld_ == hold) return;
  inputHeld_ = hold;
  // An open connection never asks to leave the loop here.
  refreshInterestLocked();
  if (!hold) kickBufferedInputLocked();
}

size_t KRL_NetHandler::queuedOutput() {
  ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
  return unwrittenLocked();
}

int KRL_NetHandler::notifyDrained(size_t lowMark, NetDrainCallback onDrained) {
  ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
  if (unwrittenLocked() <= lowMark) {
    drainCallback_ = nullptr;
    return 2;
  }
  // Output is queued, so the loop watches for writability and meets the
  // mark in handle_output.
  drainCallback_ = onDrained;
  drainMark_ = lowMark;
  return 1;
}

void KRL_NetHandler::send(const char* data, int length) {
  if (data == nullptr || length <= 0) return;
  bool failed = false;
  {
    ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
    if (closeTicks_.load() != 0 || socketShut_) {
      failed = true;  // a closing connection takes no more output
    } else if (tls_ != nullptr) {
      failed = !sendTlsLocked(data, length);
    } else {
      const int written = output_.empty() ? writeNow(data, length) : 0;
      if (written < 0) {
        failed = true;
      } else if (written < length ||
                 (sentCallback_ != nullptr && loop_ != nullptr)) {
        // The library's copy: the rest for the loop to write, or the
        // block the sent callback reports (on the loop; without one,
        // nothing is reported).
        char* copy = new (std::nothrow) char[length];
        if (copy == nullptr) {
          // Dropping the tail of a partly written send would corrupt the
          // stream; dropping a whole one does not.
          failed = written > 0;
        } else {
          memcpy(copy, data, static_cast<size_t>(length));
          const SendBlock block = {copy, length, written};
          if (written == length) {
            finished_.push_back(block);
          } else {
            output_.push(block);
          }
          refreshInterestLocked();
        }
      }
    }
  }
  if (failed) {
    // On a host thread: the loop has no upcall coming that would notice.
    onWriteFailed();
    wakeIfIdle();
  }
}

int KRL_NetHandler::writeNow(const char* data, int length) {
  for (;;) {
    const ssize_t sent =
        SendOnSocket(socket_.load(), data, static_cast<size_t>(length),
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

bool KRL_NetHandler::refreshInterestLocked() {
  if (!registered_) return true;  // startRead will set it
  const size_t unwritten = unwrittenLocked();
  const bool wasPaused = readPaused_;
  if (unwritten > kPauseReadingAbove) {
    readPaused_ = true;
  } else if (unwritten < kResumeReadingBelow) {
    readPaused_ = false;
  }
  if (wasPaused && !readPaused_) kickBufferedInputLocked();
  const bool open = closeTicks_.load() == 0;
  // Sends kept for a TLS handshake may pause reading, but the handshake
  // itself must still be read, or they would never go out.
  const bool handshaking = tls_ != nullptr && !tls_->handshakeDone();
  unsigned mask = 0;
  if (open && (!readPaused_ || handshaking) && !inputHeld_) {
    mask |= KRL_NetLoop::kInput;
  }
  if (!output_.empty() || !finished_.empty()) mask |= KRL_NetLoop::kOutput;
  // A closing connection that wants nothing leaves the loop. An open one
  // whose input the host holds stays registered with an empty interest
  // (the loop takes the descriptor out of epoll and puts it back when the
  // interest returns); a disconnect wakes it (see disconnect).
  if (mask == 0 && !open) return false;
  if (mask != interest_ && loop_->setInterest(socket_.load(), mask)) {
    interest_ = mask;
  }
  return true;
}

void KRL_NetHandler::updateInterest() {
  bool leave;
  {
    ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
    leave = !refreshInterestLocked();
  }
  if (leave) leaveLoop();
}

void KRL_NetHandler::dropReference(void* reference) {
  delete static_cast<std::shared_ptr<KRL_NetHandler>*>(reference);
}

void KRL_NetHandler::leaveLoop() {
  // The loop's reference goes last, in a task posted on this thread, so
  // it outlives this upcall: however the other references go, and on
  // whatever thread, the handler is not destroyed before the upcall has
  // returned.
  std::shared_ptr<KRL_NetHandler> registration;
  std::vector<SendBlock> dropped;
  {
    ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
    if (!registered_) return;
    // Inside its own upcall: no other upcall reaches the handler after
    // this, and events still tagged for it are dropped.
    loop_->remove(socket_.load());
    registered_ = false;
    registration.swap(registration_);
    interest_ = 0;
    output_.takeAll(&dropped);
    dropped.insert(dropped.end(), finished_.begin(), finished_.end());
    finished_.clear();
    // Shut down earlier while the loop still held it: release it now.
    if (socketShut_ && socket_.load() != ACE_INVALID_HANDLE) {
      ACE_OS::closesocket(socket_.load());
      socket_.store(ACE_INVALID_HANDLE);
    }
  }
  dropBlocks(&dropped);
  auto* held = new (std::nothrow)
      std::shared_ptr<KRL_NetHandler>(std::move(registration));
  // Without memory for it, the reference goes here.
  if (held != nullptr && !loop_->post(&KRL_NetHandler::dropReference, held)) {
    delete held;
  }
}

void KRL_NetHandler::deliverSent(std::vector<SendBlock>* blocks) {
  for (const SendBlock& block : *blocks) {
    if (sentCallback_ != nullptr && !block.quiet) {
      if (block.report != nullptr) {
        sentCallback_(id_, block.report, block.reportLength);
      } else {
        sentCallback_(id_, block.data, block.length);
      }
    }
    delete[] block.data;
    delete[] block.report;
  }
  blocks->clear();
}

void KRL_NetHandler::dropBlocks(std::vector<SendBlock>* blocks) {
  for (const SendBlock& block : *blocks) {
    delete[] block.data;
    delete[] block.report;
  }
  blocks->clear();
}

bool KRL_NetHandler::closeSocket(bool force) {
  std::vector<SendBlock> dropped;
  {
    ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
    const ACE_HANDLE socket = socket_.load();
    if (socket == ACE_INVALID_HANDLE) return true;
    if (!socketShut_) {
      if (!force && (!output_.empty() || !finished_.empty()) &&
          closeTicks_.load() <= kForceCloseAfterTicks) {
        return false;  // let the queued output drain
      }
      // Shutting down wakes the loop (end of input, failed writes), which
      // then leaves it and closes the descriptor.
      ACE_OS::shutdown(socket, ACE_SHUTDOWN_BOTH);
      socketShut_ = true;
    }
    if (!registered_) {
      ACE_OS::closesocket(socket);
      socket_.store(ACE_INVALID_HANDLE);
      output_.takeAll(&dropped);
      dropped.insert(dropped.end(), finished_.begin(), finished_.end());
      finished_.clear();
    }
  }
  dropBlocks(&dropped);
  return true;
}

bool KRL_NetHandler::claimClose() {
  KRL_NetServer& server = KRL_NetServer::instance();
  ACE_Guard<ACE_Recursive_Thread_Mutex> guard(server.netLock());
  if (closeTicks_.load() != 0) return false;
  closeTicks_.store(1);
  // The closing list holds the handler until the sweeper has shut its
  // socket.
  server.addClosing(shared_from_this());
  return true;
}

void KRL_NetHandler::beginClose() {
  if (claimClose()) unregister();
}

void KRL_NetHandler::disconnect() {
  // Claimed before the socket is shut, so the loop's view of the hang-up
  // cannot deliver the close event ahead of this thread.
  if (!claimClose()) {
    // Another thread began the close and may not have taken the id out of
    // the table yet; it is taken out here too, so that the id is no
    // longer live once this call returns. The close event still comes
    // once, on that thread, after the id has left the table.
    KRL_NetServer::instance().connectionTable().remove(id_);
    return;
  }
  closeSocket(true);
  wakeIfIdle();
  unregister();
}

void KRL_NetHandler::wakeIfIdle() {
  ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
  // A connection whose input the host held, with nothing to write, has no
  // interest at all: its loop would never see the close and never leave.
  // Asking for input once more lets the loop see the hang-up (or the
  // socket's error) and leave as for any closing connection.
  if (registered_ && interest_ == 0 &&
      loop_->setInterest(socket_.load(), KRL_NetLoop::kInput)) {
    interest_ = KRL_NetLoop::kInput;
  }
}

void KRL_NetHandler::unregister() {
  // Every caller holds a reference of its own (an exported call's, the
  // loop's during an upcall, create's), so the table's may go first.
  KRL_NetServer::instance().connectionTable().remove(id_);
  if (eventCallback_ != nullptr) eventCallback_(id_, 0);
}

bool KRL_NetHandler::sweep() {
  if (closeTicks_.fetch_add(1) > kCloseSocketAfterTicks) {
    return closeSocket(false);
  }
  ACE_Guard<ACE_Thread_Mutex> guard(writeLock_);
  return socketShut_ || socket_.load() == ACE_INVALID_HANDLE;
}

}  // namespace linkcore
