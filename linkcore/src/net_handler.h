// One connection: its socket, its two addresses, its receive buffer, its
// queued output and its close.
//
// A handler is registered with the loop (KRL_NetLoop) for its whole life.
// On input it reads at most 8188 bytes into its own 8192-byte buffer, puts
// a 0 after them and calls the data callback; the loop delivers to one
// handler on one thread at a time and calls it again only after the
// callback has returned, so one connection's data callbacks never overlap
// and come in stream order. A read that filled the buffer asks the loop
// to call again, as the socket may hold more.
//
// Sending copies the host's bytes at most once. Under the write lock a send
// is written at once when nothing is queued; what the socket does not take
// is queued and the loop writes it out when the socket becomes writable.
// While more than 8 MiB of output is queued the handler stops reading, and
// resumes below 1 MiB, so a peer that never reads its replies cannot grow
// the process without bound.
//
// Lifetime: a handler is reference counted (std::shared_ptr) from the
// moment it is built. References are held by the connection table while
// the id is live, by every caller that found it there (an exported call
// keeps one until it returns), by the loop while the handler is registered
// with it (so every upcall runs with one held), and by the closing list
// while the sweeper still has its socket to shut. When the last reference
// goes, on whatever thread, the destruction is posted to the loop
// (KRL_NetLoop::post): gone inside an upcall, it runs on that thread once
// the upcall has returned; gone elsewhere, the handler has left the loop
// inside an upcall of its own, whose last step that was, and it runs on a
// loop thread. A handler without a loop is destroyed where the last
// reference went. The loop's bare pointer to a registered handler is
// covered by the loop's reference; nothing else keeps a bare pointer to a
// handler beyond a call.
//
// Closing: the first of a peer close, an I/O failure or a disconnect marks
// the handler closing (closeTicks 1), puts it on the closing list, removes
// its id from the connection table and delivers the close event, once, on
// the thread that began the close. A disconnect shuts the socket at once;
// otherwise the sweeper shuts it after about 2 s (or once queued output is
// out). The closing list lets go of the handler at the first sweep that
// finds its socket shut.
//
// The descriptor is closed only after the handler has left its loop (or
// never joined one), at the latest by the destructor, so a descriptor
// number is never reused while the loop may still use it; until then
// "closing the socket" means shutting it down in both directions, which
// the peer sees at once.
//
// Encryption: a handler with a TLS session (tls_) passes the bytes it reads
// through the session and the host's sends through it too; what the
// session produces for the peer is written out like any other output, so
// the callbacks, their threads and order, the pause for queued output and
// the close are those of a plain connection. The open event comes when the
// connection is accepted, as for a plain one; the first data callback
// after the handshake. Sends made before the handshake is complete are
// kept and encrypted once it is. Decrypted bytes that a hold (the host's or
// the pause) keeps back stay in the session; when reading resumes, the
// handler asks its loop to call it once more (requestInput),
// because the socket may have nothing left to wake it. A handshake that
// fails is logged once with the peer's address and the connection is
// closed; one that has not finished by its deadline is closed by the
// sweeper (KRL_NetServer).
#ifndef LINKCORE_NET_HANDLER_H_
#define LINKCORE_NET_HANDLER_H_

#include <stdint.h>

#include <atomic>
#include <memory>
#include <vector>

#include <ace/Event_Handler.h>
#include <ace/INET_Addr.h>
#include <ace/Thread_Mutex.h>

#include "linkcore.h"
#include "net_output_queue.h"
#include "tls_session.h"

namespace linkcore {

class KRL_NetLoop;

class KRL_NetHandler : public ACE_Event_Handler,
                       public std::enable_shared_from_this<KRL_NetHandler> {
 public:
  static constexpr int kReceiveBufferSize = 8192;
  // Four bytes of the buffer stay free; one of them takes the closing 0.
  static constexpr int kMaxRead = kReceiveBufferSize - 4;
  static constexpr size_t kPauseReadingAbove = 8u << 20;
  static constexpr size_t kResumeReadingBelow = 1u << 20;
  // Sweeps (200 ms each) after the close began: the socket is shut after
  // kCloseSocketAfterTicks once no write is outstanding, and in any case
  // after kForceCloseAfterTicks.
  static constexpr int kCloseSocketAfterTicks = 10;
  static constexpr int kForceCloseAfterTicks = 100;

  // Builds the handler of a connected socket, served by loop (null: no I/O
  // thread, nothing is ever read), and opens it: an accepted connection
  // (listenPort >= 0) takes the callbacks of that port's listen entry, an
  // outgoing one (listenPort < 0) the ones given. Enters the id in the
  // connection table, delivers the open event on the calling thread and
  // joins the loop. Returns the id, or 0 when the connection cannot be
  // served: then no event was delivered and the socket is closed. The
  // handler lives on through the references of the table and the loop.
  // Calling thread (a loop's, for an accepted connection).
  // tls: the connection's TLS session (null for a plain connection); an
  // outgoing connection's has finished its handshake.
  static uint32_t create(ACE_HANDLE socket, const ACE_INET_Addr& remote,
                         const ACE_INET_Addr& local, KRL_NetLoop* loop,
                         int listenPort, NetDataCallback onData,
                         NetEventCallback onEvent, NetSentCallback onSent,
                         std::unique_ptr<TlsSession> tls = nullptr);

  // Sends are encrypted in pieces of this size into a buffer the session
  // reuses while the socket takes them, so a large send needs no large
  // buffer of fresh memory. A piece is many full 16 KiB records written
  // with one system call: smaller pieces cost more in socket writes and
  // wake the peer more often than the encryption they overlap. A remainder
  // of up to a quarter piece goes with the last piece rather than alone.
  static constexpr int kTlsWritePiece = 512 * 1024;

  KRL_NetHandler(const KRL_NetHandler&) = delete;
  KRL_NetHandler& operator=(const KRL_NetHandler&) = delete;

  // Queues one send (copied before returning). Thread safe; any thread.
  void send(const char* data, int length);

  // Closes the connection at once: the socket is shut down and the close
  // event is delivered on the calling thread before this returns. When
  // the connection is already closing, only makes sure its id has left the
  // connection table before this returns. Thread safe.
  void disconnect();

  // The host's hold on reading (KRL_NetHoldInput): while held, the loop
  // takes no input from the socket. Thread safe.
  void holdInput(bool hold);
  // Bytes queued and not yet written. Thread safe.
  size_t queuedOutput();
  // Arms onDrained for the moment no more than lowMark bytes remain
  // queued: 1 armed (replacing an earlier one), 2 when that is so already
  // (nothing armed). Thread safe.
  int notifyDrained(size_t lowMark, NetDrainCallback onDrained);

  // One sweep over this closing handler: shuts the socket when due and
  // counts the tick. True once the socket is shut (or closed), when the
  // closing list has nothing left to do with the handler. Sweeper thread,
  // under netLock.
  bool sweep();

  // Whether a TLS handshake is still under way. Thread safe.
  bool handshakePending();
  // The handshake's deadline has passed: when it is still under way, logs
  // it and disconnects (the close event comes on the calling thread).
  // Sweeper thread, no lock held.
  void handshakeExpired(int timeoutMs);

  uint32_t id() const { return id_; }

  // The handler of connection id when the calling thread is inside that
  // connection's data callback and its close has not begun, else null.
  // Such a handler is alive and listed in the connection table for as long
  // as the callback runs, so a reply sent from it (the usual case) needs
  // no table lookup. Any thread.
  static KRL_NetHandler* receivingOnThisThread(uint32_t id);
  // Fixed from construction; any thread.
  const ACE_INET_Addr& remoteAddress() const { return remoteAddress_; }
  const ACE_INET_Addr& localAddress() const { return localAddress_; }

  // Upcalls of the loop, on one of its threads. handle_input returns 1
  // when the loop should call it again (a full read), else 0.
  int handle_input(ACE_HANDLE) override;
  int handle_output(ACE_HANDLE) override;

 private:
  // Takes the next connection id and the socket. Any thread.
  KRL_NetHandler(ACE_HANDLE socket, const ACE_INET_Addr& remote,
                 const ACE_INET_Addr& local, KRL_NetLoop* loop);
  // Closes the descriptor if still open, releases output never written and
  // counts the handler as deleted. Runs on a loop thread (or where the
  // last reference went, for a handler without a loop), never while a
  // thread is inside one of the handler's methods.
  ~KRL_NetHandler() override;

  // The deleter given to the handler's shared_ptr, run where the last
  // reference goes: posts the destruction to the loop (destroys at once
  // when there is none).
  static void release(KRL_NetHandler* handler);
  // Tasks posted to the loop: the destruction release asks for, and the
  // loop's reference that leaveLoop lets go after the upcall.
  static void destroyPosted(void* handler);
  static void dropReference(void* reference);

  // The open of create. False, with no event delivered and nothing
  // registered, when the connection cannot be served.
  bool open(int listenPort);
  // Shuts the socket down in both directions (and closes the descriptor
  // when no loop holds it) unless force is false and output is still
  // pending within kForceCloseAfterTicks. Test and close are one step under
  // writeLock_, so a socket is closed exactly once. True when the socket is
  // shut or closed afterwards. Thread safe.
  bool closeSocket(bool force);
  // Joins the loop, for input and for any output queued meanwhile.
  void startRead();
  // Marks the handler closing and puts it on the closing list; true for
  // the one caller that did so.
  bool claimClose();
  // The close path of a peer close or an I/O failure: claimClose, then
  // unregister.
  void beginClose();
  // After a close begun on a host thread: a registered connection with no
  // interest (its input held, nothing to write) asks for input again, so
  // that its loop sees the end and leaves. Thread safe.
  void wakeIfIdle();
  // Removes the id from the connection table, then delivers the close
  // event on the calling thread with no library lock held.
  void unregister();
  void onReadEnd() { beginClose(); }
  void onWriteFailed() { beginClose(); }
  // Delivers length bytes of the receive buffer to the host.
  void onData(int length);

  // handle_input of an encrypted connection: reads the socket once, then
  // advances the handshake and delivers what decrypts, as long as reading
  // is wanted. True when the read filled the buffer and reading is still
  // wanted (the socket may hold more). Loop thread.
  bool tlsInput();
  // Logs a failed session once, with the peer's address, and disconnects.
  void tlsFailed(const std::string& reason, bool inHandshake);
  // Encrypts a send (kept for later while the handshake is under way) and
  // writes or queues the result. False when the connection must fail.
  // writeLock_ held.
  bool sendTlsLocked(const char* data, int length);
  // Encrypts the sends kept during the handshake. writeLock_ held.
  bool sendHeldPlainLocked();
  // Writes (or queues) what the session has produced for the peer; report
  // (owned from here on) is what the sent callback shows once it is out,
  // null for bytes of the session's own. False when the connection must
  // fail. writeLock_ held.
  bool flushTlsOutputLocked(char* report, int reportLength);
  // Asks the loop for one more handle_input when decrypted or undecrypted
  // input waits in the session and reading is wanted. writeLock_ held.
  void kickBufferedInputLocked();
  // Output not yet written: queued bytes and sends kept during the
  // handshake. writeLock_ held.
  size_t unwrittenLocked() const {
    return output_.unwrittenBytes() + heldPlainBytes_;
  }
  // "a.b.c.d:port" of the peer.
  std::string peerText() const;

  // Writes as much of data as the socket takes now: the count, or -1 when
  // the socket failed. writeLock_ held.
  int writeNow(const char* data, int length);
  // Sets the loop's interest (input unless closing, paused or held by the
  // host; output while anything is queued). An open connection whose input
  // is held and whose output is out stays registered with no interest.
  // False when a closing connection wants nothing any more: the caller
  // must leave the loop. writeLock_ held.
  bool refreshInterestLocked();
  // The drain callback due now (taken out, so it runs once), or null.
  // writeLock_ held.
  NetDrainCallback takeDueDrainLocked();
  // Re-evaluates the interest and leaves the loop when nothing is wanted.
  // Loop thread.
  void updateInterest();
  // Leaves the loop for good, dropping output that can no longer go out,
  // closing a descriptor already shut, and lets go of the loop's
  // reference. Loop thread.
  void leaveLoop();
  // Calls the sent callback for each block and releases it. No lock held.
  void deliverSent(std::vector<SendBlock>* blocks);
  // Releases blocks that will never be written.
  static void dropBlocks(std::vector<SendBlock>* blocks);

  std::atomic<int> closeTicks_{0};  // 0 open; 1 and up: sweeps since close
  const uint32_t id_;
  const ACE_INET_Addr remoteAddress_;
  const ACE_INET_Addr localAddress_;
  KRL_NetLoop* const loop_;
  char readBuffer_[kReceiveBufferSize];

  // writeLock_ guards the output side and the socket's state: output_,
  // finished_, the descriptor's shutdown and close, registered_,
  // registration_, interest_, readPaused_, inputHeld_ and the drain
  // request. Taken under netLock (the sweep) and before the loop's slot
  // lock; no callback runs and no handler reference is let go while it is
  // held.
  ACE_Thread_Mutex writeLock_;
  std::atomic<ACE_HANDLE> socket_;
  bool socketShut_ = false;
  bool registered_ = false;
  // The loop's reference, held exactly while registered_.
  std::shared_ptr<KRL_NetHandler> registration_;
  unsigned interest_ = 0;  // KRL_NetLoop::kInput | kOutput
  bool readPaused_ = false;
  // The host's hold on input, and its drain request: drainCallback_ is
  // called once no more than drainMark_ bytes remain queued.
  bool inputHeld_ = false;
  NetDrainCallback drainCallback_ = nullptr;
  size_t drainMark_ = 0;
  OutputQueue output_;
  std::vector<SendBlock> finished_;  // written, sent callback not yet made
  // The TLS session (null: plain), set before the open and kept until the
  // destructor; its state is guarded by writeLock_. Sends kept until the
  // handshake is complete, and their size.
  std::unique_ptr<TlsSession> tls_;
  std::vector<SendBlock> heldPlain_;
  size_t heldPlainBytes_ = 0;

  NetDataCallback dataCallback_ = nullptr;
  NetEventCallback eventCallback_ = nullptr;
  NetSentCallback sentCallback_ = nullptr;
};

}  // namespace linkcore

#endif  // LINKCORE_NET_HANDLER_H_
