// The TLS settings shared by the connections of one listening port, or of
// one outgoing connection: an OpenSSL context with its certificate, key and
// the authorities it trusts.
//
// Every context speaks TLS 1.2 at least and prefers 1.3, offers only
// forward-secret AEAD suites for 1.2 (ECDHE with AES-GCM or ChaCha20),
// refuses renegotiation and compression, and treats a peer that closes its
// socket without a close_notify as an ordinary close (the host frames its
// own messages, so a cut stream is noticed there). Server contexts keep a
// session cache and issue tickets, so returning clients resume without a
// full handshake.
#ifndef LINKCORE_TLS_CONTEXT_H_
#define LINKCORE_TLS_CONTEXT_H_

#include <memory>
#include <string>

#include <openssl/ssl.h>

namespace linkcore {

class TlsContext {
 public:
  // A server context from PEM files: the certificate chain, its key and,
  // when clientCaFile is not empty, the authorities whose certificates
  // clients must present (mutual TLS). Null with *error on failure.
  static std::shared_ptr<TlsContext> forServer(const std::string& certFile,
                                               const std::string& keyFile,
                                               const std::string& clientCaFile,
                                               std::string* error);
  // A client context that verifies servers against caFile (the system's
  // store when empty) and presents certFile/keyFile when both are given.
  // Null with *error on failure.
  static std::shared_ptr<TlsContext> forClient(const std::string& caFile,
                                               const std::string& certFile,
                                               const std::string& keyFile,
                                               std::string* error);

  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  SSL_CTX* get() const { return ctx_; }
  bool isServer() const { return server_; }

  // The reason of the last failure on this thread's OpenSSL error queue
  // (empties it), or fallback when the queue is empty.
  static std::string lastError(const char* fallback);

 private:
  TlsContext(SSL_CTX* ctx, bool server) : ctx_(ctx), server_(server) {}

  SSL_CTX* const ctx_;
  const bool server_;
};

}  // namespace linkcore

#endif  // LINKCORE_TLS_CONTEXT_H_
