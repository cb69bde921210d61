// A blocking client connection to a dirsync server: login ("reg"),
// "ping", "list" and "dload", used by tests, benchmarks and the
// command-line client. One Connection is used by one thread at a time.
#ifndef DIRSYNC_CLIENT_CONNECTION_H_
#define DIRSYNC_CLIENT_CONNECTION_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "frame.h"
#include "tls_channel.h"

namespace dsclient {

struct LoginResult {
  std::string data;  // "ok" or "fail"
  int64_t max = 0;   // store length (on success)
  int32_t ver = 0;   // store identity (on success)
};

struct PingResult {
  int64_t max = 0;
  int32_t val = 0;
};

struct ListResult {
  int64_t pos = 0;
  int64_t max = 0;
  bool hasData = false;  // "len", "zip" and "data" were present
  int32_t len = 0;
  int32_t zip = 0;
  size_t wireLength = 0;  // value length of "data" as sent
  std::string data;       // the store bytes, inflated when zipped
  std::string err;        // empty unless the reply carried "err"
};

struct DloadResult {
  int64_t fid = 0;
  int64_t pos = 0;
  bool hasData = false;
  int32_t ver = 0;
  int32_t len = 0;
  int32_t zip = 0;
  size_t wireLength = 0;
  std::string data;  // the file bytes, inflated when zipped
  std::string err;
};

struct DloadRequest {
  std::string path = "x";
  int64_t fid = 0;
  int64_t pos = 0;
  int32_t ver = 0;
  int32_t size = 0;
  bool sendSize = true;
  int32_t zip = 0;
};

// The "dload" frame of a request, for callers that send several before
// reading the replies.
std::string BuildDloadFrame(const DloadRequest& request);
// Reads a "-dload" reply into *out (its data moved out of the message).
// False when zipped data does not inflate to its stated length.
bool ParseDloadReply(Message& reply, DloadResult* out);

class Connection {
 public:
  enum class Status { kOk, kClosed, kTimeout, kGarbage };

  Connection() = default;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Encrypts the connections made from now on (options.enabled), or not.
  // False with *error when the authorities or the client certificate
  // cannot be used.
  bool UseTls(const TlsOptions& options, std::string* error);
  // Connects to host:port (dotted IPv4 or a name), with the TLS handshake
  // when UseTls enabled it. False on failure, with error() saying why.
  bool Connect(const std::string& host, int port, int timeoutMs = 5000);
  // Why the last Connect failed.
  const std::string& error() const { return error_; }
  // The last Connect failed in the TLS handshake (a certificate that does
  // not verify, a protocol the server does not speak, ...), or the server
  // ended the session with a TLS alert since (error() says which).
  bool tlsFailed() const { return tlsFailed_; }
  bool tls() const { return tlsEnabled_; }
  // Whether the last TLS handshake resumed an earlier session.
  bool resumed() const { return tlsEnabled_ && channel_.resumed(); }
  void Close();
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Writes all bytes. False when the connection is gone.
  bool SendBytes(std::string_view bytes);
  bool Send(const FrameWriter& frame) { return SendBytes(frame.Build()); }
  // A whole message has arrived and waits to be taken (Receive returns
  // it without waiting).
  bool HasWholeMessage() const { return reader_.HasWholeFrame(); }
  // Waits for the next whole message.
  Status Receive(Message* out, int timeoutMs = 5000);
  // True when the server closes the connection within the time; messages
  // that arrive before the close are dropped.
  bool WaitForClose(int timeoutMs = 5000);

  // The requests: each sends its frame and waits for its reply. False when
  // no reply of the expected word arrived.
  bool Login(std::string_view uid, std::string_view token,
             std::string_view task, LoginResult* out);
  bool Ping(int64_t pos, int32_t val, PingResult* out);
  // Whether the server answers "wait": sends a "wait" that names no time
  // and a "ping" behind it. A server that knows the word answers both, in
  // order; one that does not drops the "wait" and answers the "ping"
  // alone. False when the replies did not come.
  bool ProbeWait(int64_t pos, bool* known);
  // Sends a "wait": the server answers "-wait" once its store holds more
  // than pos bytes, or after waitMs. Read the reply with TakeWaitReply.
  bool SendWait(int64_t pos, int32_t val, int32_t waitMs);
  // Reads a "-wait" reply that has come within timeoutMs: kOk with *out
  // filled, kTimeout when none has come yet (ask again), or the failure.
  Status TakeWaitReply(PingResult* out, int timeoutMs);
  bool List(std::string_view path, int64_t pos, int32_t zip, ListResult* out);
  bool Dload(const DloadRequest& request, DloadResult* out);

 private:
  // Waits for a message with this command word.
  bool Expect(std::string_view command, Message* out);

  // Waits until fd_ is ready for events, at most timeoutMs (-1: no limit
  // here). False on timeout.
  bool WaitFor(short events, int timeoutMs);

  int fd_ = -1;
  FrameReader reader_;
  bool tlsEnabled_ = false;
  TlsChannel channel_;
  std::string error_;
  bool tlsFailed_ = false;
};

}  // namespace dsclient

#endif  // DIRSYNC_CLIENT_CONNECTION_H_
