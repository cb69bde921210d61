// The encrypted side of a client connection: an OpenSSL session on the
// connection's non-blocking socket, verified against the server's name.
// The settings (authorities, client certificate) are loaded once; a
// session the server issued is kept and offered on the next handshake, so
// reconnecting resumes without a full handshake.
#ifndef DIRSYNC_CLIENT_TLS_CHANNEL_H_
#define DIRSYNC_CLIENT_TLS_CHANNEL_H_

#include <sys/types.h>

#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;

namespace dsclient {

struct TlsOptions {
  bool enabled = false;
  std::string caFile;    // authorities to verify the server; empty: system
  std::string certFile;  // client certificate (mutual TLS); with keyFile
  std::string keyFile;
  std::string serverName;  // name to verify; empty: the host connected to
};

class TlsChannel {
 public:
  enum class Io { kDone, kWantRead, kWantWrite, kClosed, kFailed };

  TlsChannel() = default;
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // Loads the settings. False with *error when a file cannot be used.
  bool Configure(const TlsOptions& options, std::string* error);

  // Runs the handshake on the connected non-blocking socket fd within
  // timeoutMs, verifying that the server's certificate names host (or the
  // configured server name). False with *error, which says why (for a
  // certificate: "certificate verify failed: ...").
  bool Handshake(int fd, const std::string& host, int timeoutMs,
                 std::string* error);
  // Ends the session (the socket is the caller's).
  void Close();

  // Whether the last handshake resumed a session.
  bool resumed() const { return resumed_; }

  // Reads up to n decrypted bytes: > 0 bytes, or 0 with *io telling why
  // none (kWantRead, kWantWrite: wait for that; kClosed; kFailed).
  ssize_t Read(char* buffer, size_t n, Io* io);
  // Writes up to n bytes: > 0 bytes taken, or 0 with *io as for Read.
  ssize_t Write(const char* data, size_t n, Io* io);
  // Whether bytes read from the socket (decrypted or not) wait in the
  // session, so that a Read needs no system call.
  bool HasPending() const;
  // Why the last Read or Write failed (kFailed): a TLS alert of the server
  // ("tlsv13 alert certificate required") or a broken record.
  const std::string& failure() const { return failure_; }

 private:
  Io Classify(int result);

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  SSL_SESSION* session_ = nullptr;  // the last session, offered next time
  std::string serverName_;
  std::string failure_;
  bool resumed_ = false;
};

}  // namespace dsclient

#endif  // DIRSYNC_CLIENT_TLS_CHANNEL_H_
