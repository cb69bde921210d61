// The TLS state of one connection, driven through memory buffers: the
// connection's loop puts the bytes it reads from the socket in (feed), the
// session decrypts them (read), encrypts what the host sends (write), and
// leaves every byte meant for the socket in an output buffer that the
// connection writes out like any other output (output, clearOutput). The
// session never touches the socket itself, so the loop keeps its own
// reading, writing, backpressure and close.
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

  // The bytes waiting to go to the socket, and their removal once taken.
  size_t output(const char** data) const;
  void clearOutput();

  // Why the session failed, once it has.
  const std::string& failure() const { return failure_; }
  // The negotiated version and cipher ("TLSv1.3 TLS_AES_128_GCM_SHA256").
  std::string description() const;
  // Whether this handshake resumed an earlier session.
  bool resumed() const { return SSL_session_reused(ssl_) == 1; }
  // The session to offer on a later connection (a new reference, or null).
  SSL_SESSION* takeSession() const { return SSL_get1_session(ssl_); }

 private:
  TlsSession(std::shared_ptr<TlsContext> context, SSL* ssl, BIO* in, BIO* out)
      : context_(std::move(context)), ssl_(ssl), in_(in), out_(out) {}
  // Turns an OpenSSL result into a step, recording the failure's reason.
  Step classify(int result, const char* what);

  const std::shared_ptr<TlsContext> context_;  // outlives ssl_
  SSL* const ssl_;
  BIO* const in_;   // owned by ssl_
  BIO* const out_;  // owned by ssl_
  bool done_ = false;
  bool failed_ = false;
  std::string failure_;
};

}  // namespace linkcore

#endif  // LINKCORE_TLS_SESSION_H_
