// The TLS state of one connection, driven through memory buffers: the
// connection's loop puts the bytes it reads from the socket in (feed), the
// session decrypts them (read), encrypts what the host sends (write), and
// leaves every byte meant for the socket in an output buffer that the
// connection writes out like any other output (output, clearOutput), or
// takes over whole when the socket does not take it all (releaseOutput),
// so encrypted bytes are never copied. The session never touches the
// socket itself, so the loop keeps its own reading, writing, backpressure
// and close.
//
// Not thread safe: the owning handler guards it with its write lock.
#ifndef LINKCORE_TLS_SESSION_H_
#define LINKCORE_TLS_SESSION_H_

#include <stddef.h>

#include <memory>
#include <string>

#include <openssl/ssl.h>

#include "tls_context.h"

namespace linkcore {

class TlsSession {
 public:
  enum class Step {
    kDone,       // the handshake is complete / bytes were produced
    kWantInput,  // more bytes from the peer are needed
    kClosed,     // the peer sent close_notify
    kFailed,     // the handshake or a record failed; see failure()
  };

  // A session on context: the accepting side for a server context, the
  // connecting side otherwise, which checks that the server's certificate
  // names verifyName (a host name or a dotted address; empty: any name) and
  // offers resume (may be null). Null when OpenSSL has no memory.
  static std::unique_ptr<TlsSession> create(
      std::shared_ptr<TlsContext> context, const std::string& verifyName,
      SSL_SESSION* resume);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Takes bytes read from the socket. False when there is no memory.
  bool feed(const char* data, size_t length);

  // Advances the handshake with what was fed.
  Step handshake();
  bool handshakeDone() const { return done_; }

  // Decrypts up to capacity bytes into buffer: their count (> 0), or 0 with
  // *step telling why none (kWantInput, kClosed, kFailed).
  int read(char* buffer, int capacity, Step* step);

  // Encrypts length bytes into the output. False (see failure()) when the
  // session cannot take them (no memory, or the session has failed).
  bool write(const char* data, int length);

  // Whether fed bytes wait to be decrypted, or decrypted ones to be read.
  bool hasBufferedInput() const;

  // Makes room in the output for the records of plainLength more bytes, so
  // that encrypting them copies nothing twice. False without memory.
  bool reserveOutput(size_t plainLength);
  // The bytes waiting to go to the socket, and their removal once taken;
  // the buffer stays for the next records.
  size_t output(const char** data) const { *data = out_.data; return out_.length; }
  void clearOutput();
  // Lets go of an empty buffer that a large send has grown, so that an idle
  // connection keeps little; the calling thread keeps the largest such
  // buffer for its next large send, on any session. Called once the send
  // is encrypted, not per piece: a fresh large buffer for every piece (or
  // every reply) costs more than the cipher.
  void trimOutput();
  // Hands the output buffer (new[]-allocated, *length bytes) to the caller,
  // who frees it with delete[]; the session starts a new one.
  char* releaseOutput(size_t* length);

  // Why the session failed, once it has.
  const std::string& failure() const { return failure_; }
  // The negotiated version and cipher ("TLSv1.3 TLS_AES_128_GCM_SHA256").
  std::string description() const;
  // Whether this handshake resumed an earlier session.
  bool resumed() const { return SSL_session_reused(ssl_) == 1; }
  // The session to offer on a later connection (a new reference, or null).
  SSL_SESSION* takeSession() const { return SSL_get1_session(ssl_); }

 private:
  // The output buffer that the session's write side appends to.
  struct Output {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
  };
  // The BIO type of the write side, built once per process.
  static BIO_METHOD* outputMethod();
  // Grows the output buffer to hold at least capacity bytes.
  static bool growOutput(Output* out, size_t capacity);
  static int outputWrite(BIO* bio, const char* data, int length);
  static long outputControl(BIO* bio, int command, long number, void* pointer);

  TlsSession(std::shared_ptr<TlsContext> context, SSL* ssl, BIO* in)
      : context_(std::move(context)), ssl_(ssl), in_(in) {}
  // Turns an OpenSSL result into a step, recording the failure's reason.
  Step classify(int result, const char* what);

  const std::shared_ptr<TlsContext> context_;  // outlives ssl_
  SSL* const ssl_;
  BIO* const in_;  // owned by ssl_
  Output out_;
  bool done_ = false;
  bool failed_ = false;
  std::string failure_;
};

}  // namespace linkcore

#endif  // LINKCORE_TLS_SESSION_H_
