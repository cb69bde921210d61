#include "tls_channel.h"

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace dsclient {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string LastError(const char* fallback) {
  const unsigned long code = ERR_peek_last_error();
  std::string text = fallback;
  if (code != 0) {
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr) text = reason;
  }
  ERR_clear_error();
  return text;
}

// OpenSSL writes to the socket with write(), which raises SIGPIPE when the
// server has gone. While one lives, SIGPIPE is held back on this thread and
// one it caused is taken away again, so that a program using the channel
// sees a failed write instead of dying.
class NoSigpipe {
 public:
  NoSigpipe() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    // One already pending belongs to someone else: leave it alone.
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
  }
  ~NoSigpipe() {
    if (!blocked_) return;
    if (!wasPending_) {
      const timespec none = {0, 0};
      while (sigtimedwait(&pipe_, nullptr, &none) > 0) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  NoSigpipe(const NoSigpipe&) = delete;
  NoSigpipe& operator=(const NoSigpipe&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool wasPending_ = false;
  bool blocked_ = false;
};

}  // namespace

TlsChannel::~TlsChannel() {
  Close();
  SSL_SESSION_free(session_);
  SSL_CTX_free(ctx_);
}

bool TlsChannel::Configure(const TlsOptions& options, std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    *error = LastError("cannot set up TLS");
    return false;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                               SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_cipher_list(ctx,
                          "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                          "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                          "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305");
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE |
                            SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT);
  // Records are read in large gulps, not header and body apart: a 4 MiB
  // reply takes a few dozen reads instead of hundreds.
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_read_buffer_len(ctx, 64 * 1024);
  const int loaded =
      options.caFile.empty()
          ? SSL_CTX_set_default_verify_paths(ctx)
          : SSL_CTX_load_verify_locations(ctx, options.caFile.c_str(), nullptr);
  if (loaded != 1) {
    *error = "cannot use CA file " + options.caFile + ": " +
             LastError("not a PEM certificate");
    SSL_CTX_free(ctx);
    return false;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (!options.certFile.empty() || !options.keyFile.empty()) {
    if (SSL_CTX_use_certificate_chain_file(ctx, options.certFile.c_str()) != 1) {
      *error = "cannot use certificate " + options.certFile + ": " +
               LastError("not a PEM certificate");
      SSL_CTX_free(ctx);
      return false;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, options.keyFile.c_str(),
                                    SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
      *error = "cannot use key " + options.keyFile + ": " +
               LastError("it does not belong to the certificate");
      SSL_CTX_free(ctx);
      return false;
    }
  }
  SSL_CTX_free(ctx_);
  ctx_ = ctx;
  serverName_ = options.serverName;
  return true;
}

bool TlsChannel::Handshake(int fd, const std::string& host, int timeoutMs,
                           std::string* error) {
  Close();
  ERR_clear_error();
  ssl_ = SSL_new(ctx_);
  if (ssl_ == nullptr || SSL_set_fd(ssl_, fd) != 1) {
    *error = LastError("cannot set up TLS");
    return false;
  }
  const std::string name = serverName_.empty() ? host : serverName_;
  in_addr address;
  if (inet_pton(AF_INET, name.c_str(), &address) == 1) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), name.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl_, name.c_str());
    SSL_set1_host(ssl_, name.c_str());
  }
  if (session_ != nullptr) SSL_set_session(ssl_, session_);
  const int64_t deadline = NowMs() + timeoutMs;
  NoSigpipe quiet;
  for (;;) {
    ERR_clear_error();
    const int result = SSL_connect(ssl_);
    if (result == 1) break;
    const int code = SSL_get_error(ssl_, result);
    short events = 0;
    if (code == SSL_ERROR_WANT_READ) events = POLLIN;
    if (code == SSL_ERROR_WANT_WRITE) events = POLLOUT;
    if (events == 0) {
      const long verify = SSL_get_verify_result(ssl_);
      if (verify != X509_V_OK) {
        *error = std::string("certificate verify failed: ") +
                 X509_verify_cert_error_string(verify);
        ERR_clear_error();
      } else if (code == SSL_ERROR_SYSCALL || code == SSL_ERROR_ZERO_RETURN) {
        *error = LastError(
            "the server closed the connection in the handshake (is it its TLS port?)");
      } else {
        *error = LastError("the handshake failed");
      }
      Close();
      return false;
    }
    const int64_t left = deadline - NowMs();
    pollfd p{fd, events, 0};
    if (left <= 0 || (::poll(&p, 1, static_cast<int>(left)) <= 0 && errno != EINTR)) {
      *error = "the handshake timed out";
      Close();
      return false;
    }
  }
  resumed_ = SSL_session_reused(ssl_) == 1;
  failure_.clear();
  return true;
}

void TlsChannel::Close() {
  if (ssl_ == nullptr) return;
  // A session that did not fail stays good for resuming: without this
  // mark, freeing it unshut would strike it off.
  if (failure_.empty() && SSL_is_init_finished(ssl_)) {
    SSL_set_shutdown(ssl_, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
  }
  // The session to resume next time: TLS 1.3 servers send it after the
  // handshake, so it is taken at the end.
  SSL_SESSION* session = SSL_get1_session(ssl_);
  if (session != nullptr && SSL_SESSION_is_resumable(session)) {
    SSL_SESSION_free(session_);
    session_ = session;
  } else {
    SSL_SESSION_free(session);
  }
  SSL_free(ssl_);
  ssl_ = nullptr;
}

TlsChannel::Io TlsChannel::Classify(int result) {
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ: return Io::kWantRead;
    case SSL_ERROR_WANT_WRITE: return Io::kWantWrite;
    case SSL_ERROR_ZERO_RETURN: return Io::kClosed;
    default:
      failure_ = LastError("the connection failed");
      return Io::kFailed;
  }
}

ssize_t TlsChannel::Read(char* buffer, size_t n, Io* io) {
  size_t got = 0;
  ERR_clear_error();
  const int result = SSL_read_ex(ssl_, buffer, n, &got);
  if (result == 1) {
    *io = Io::kDone;
    return static_cast<ssize_t>(got);
  }
  *io = Classify(result);
  return 0;
}

ssize_t TlsChannel::Write(const char* data, size_t n, Io* io) {
  size_t written = 0;
  ERR_clear_error();
  NoSigpipe quiet;
  const int result = SSL_write_ex(ssl_, data, n, &written);
  if (result == 1) {
    *io = Io::kDone;
    return static_cast<ssize_t>(written);
  }
  *io = Classify(result);
  return 0;
}

bool TlsChannel::HasPending() const {
  return ssl_ != nullptr && (SSL_pending(ssl_) > 0 || SSL_has_pending(ssl_) == 1);
}

}  // namespace dsclient
