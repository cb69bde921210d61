#include "connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace dsclient {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Fills the result's data from a reply's "len", "zip" and "data".
template <typename Result>
bool TakeData(Message& m, Result* out) {
  auto len = m.Int32("len");
  auto zip = m.Int32("zip");
  Param* data = const_cast<Param*>(m.Find("data"));
  out->hasData = len && zip && data != nullptr;
  if (!out->hasData) return true;
  out->len = *len;
  out->zip = *zip;
  out->wireLength = data->value.size();
  if (*zip == 0) {
    out->data = std::move(data->value);
    return true;
  }
  return *len >= 0 && Inflate(data->value, static_cast<size_t>(*len), &out->data);
}

}  // namespace

std::string BuildDloadFrame(const DloadRequest& r) {
  FrameWriter f("dload");
  f.Text("path", r.path).Int64("fid", r.fid).Int64("pos", r.pos).Int32("ver", r.ver);
  if (r.sendSize) f.Int32("size", r.size);
  f.Int32("zip", r.zip);
  return f.Build();
}

bool ParseDloadReply(Message& m, DloadResult* out) {
  out->fid = m.Int64("fid").value_or(0);
  out->pos = m.Int64("pos").value_or(0);
  out->ver = m.Int32("ver").value_or(0);
  out->err = m.Text("err").value_or("");
  return TakeData(m, out);
}

Connection::~Connection() { Close(); }

bool Connection::UseTls(const TlsOptions& options, std::string* error) {
  if (!options.enabled) {
    tlsEnabled_ = false;
    return true;
  }
  if (!channel_.Configure(options, error)) return false;
  tlsEnabled_ = true;
  return true;
}

bool Connection::WaitFor(short events, int timeoutMs) {
  for (;;) {
    pollfd p{fd_, events, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

bool Connection::Connect(const std::string& host, int port, int timeoutMs) {
  Close();
  error_.clear();
  tlsFailed_ = false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    error_ = "cannot resolve " + host;
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int failure = fd >= 0 ? 0 : errno;
  if (fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
    failure = errno;
    if (failure == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int soError = 0;
      socklen_t len = sizeof soError;
      const int ready = ::poll(&p, 1, timeoutMs);
      if (ready == 0) {
        failure = ETIMEDOUT;
      } else if (ready < 0 ||
                 ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
        failure = errno;
      } else {
        failure = soError;
      }
    }
  }
  freeaddrinfo(found);
  const bool ok = failure == 0;
  if (!ok) {
    error_ = std::strerror(failure);
    if (fd >= 0) ::close(fd);
    return false;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (tlsEnabled_ && !channel_.Handshake(fd, host, timeoutMs, &error_)) {
    tlsFailed_ = true;
    ::close(fd);
    return false;
  }
  fd_ = fd;
  reader_ = FrameReader();
  return true;
}

void Connection::Close() {
  if (tlsEnabled_) channel_.Close();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Connection::SendBytes(std::string_view bytes) {
  while (tlsEnabled_ && !bytes.empty()) {
    if (fd_ < 0) return false;
    TlsChannel::Io io;
    const ssize_t w = channel_.Write(bytes.data(), bytes.size(), &io);
    if (w > 0) {
      bytes.remove_prefix(static_cast<size_t>(w));
      continue;
    }
    if (io == TlsChannel::Io::kWantWrite && WaitFor(POLLOUT, 5000)) continue;
    if (io == TlsChannel::Io::kWantRead && WaitFor(POLLIN, 5000)) continue;
    return false;
  }
  while (!bytes.empty()) {
    if (fd_ < 0) return false;
    ssize_t w = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, 5000) <= 0) return false;
      continue;
    }
    if (w <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(w));
  }
  return true;
}

Connection::Status Connection::Receive(Message* out, int timeoutMs) {
  const int64_t deadline = NowMs() + timeoutMs;
  while (true) {
    switch (reader_.Next(out)) {
      case FrameReader::Status::kMessage: return Status::kOk;
      case FrameReader::Status::kGarbage: return Status::kGarbage;
      case FrameReader::Status::kNeedMore: break;
    }
    if (fd_ < 0) return Status::kClosed;
    if (tlsEnabled_) {
      // Decrypted bytes may wait in the session with the socket empty, so
      // the session is asked first and the socket waited for only when it
      // wants more.
      constexpr size_t kReadSize = 1024 * 1024;
      char* into = reader_.Reserve(kReadSize);
      size_t got = 0;
      TlsChannel::Io io = TlsChannel::Io::kDone;
      // One read from the socket, then what the session holds already: a
      // further read that would only find the socket empty is left out.
      do {
        const ssize_t n = channel_.Read(into + got, kReadSize - got, &io);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      } while (got < kReadSize && channel_.HasPending());
      if (got > 0) {
        reader_.Commit(got);
        continue;
      }
      if (io == TlsChannel::Io::kClosed || io == TlsChannel::Io::kFailed) {
        if (io == TlsChannel::Io::kFailed) {
          // The server refused the session after the handshake (a client
          // certificate it does not accept), or a record was broken.
          error_ = channel_.failure();
          tlsFailed_ = true;
        }
        Close();
        return Status::kClosed;
      }
      const int64_t left = deadline - NowMs();
      if (left < 0) return Status::kTimeout;
      if (!WaitFor(io == TlsChannel::Io::kWantWrite ? POLLOUT : POLLIN,
                   static_cast<int>(left))) {
        return Status::kTimeout;
      }
      continue;
    }
    // A timeout of 0 still takes what has already arrived.
    int64_t left = deadline - NowMs();
    if (left < 0) return Status::kTimeout;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return Status::kTimeout;
    // Large reads, straight into the reader's buffer, keep the system
    // calls and copies few for 4 MiB replies.
    constexpr size_t kReadSize = 1024 * 1024;
    ssize_t got = ::recv(fd_, reader_.Reserve(kReadSize), kReadSize, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      Close();
      return Status::kClosed;
    }
    reader_.Commit(static_cast<size_t>(got));
  }
}

bool Connection::WaitForClose(int timeoutMs) {
  const int64_t deadline = NowMs() + timeoutMs;
  Message ignored;
  while (true) {
    int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    Status s = Receive(&ignored, static_cast<int>(left));
    if (s == Status::kClosed) return true;
    if (s == Status::kTimeout) return false;
  }
}

bool Connection::Expect(std::string_view command, Message* out) {
  while (Receive(out) == Status::kOk) {
    if (out->Command() == command) return true;
  }
  return false;
}

bool Connection::Login(std::string_view uid, std::string_view token,
                       std::string_view task, LoginResult* out) {
  FrameWriter f("reg");
  f.Text("uid", uid).Text("token", token).Text("path", task);
  Message m;
  if (!Send(f) || !Expect("-reg", &m)) return false;
  out->data = m.Text("data").value_or("");
  out->max = m.Int64("max").value_or(0);
  out->ver = m.Int32("ver").value_or(0);
  return true;
}

bool Connection::Ping(int64_t pos, int32_t val, PingResult* out) {
  FrameWriter f("ping");
  f.Int64("pos", pos).Int32("val", val);
  Message m;
  if (!Send(f) || !Expect("pong", &m)) return false;
  out->max = m.Int64("max").value_or(0);
  out->val = m.Int32("val").value_or(0);
  return true;
}

bool Connection::ProbeWait(int64_t pos, bool* known) {
  FrameWriter wait("wait");
  wait.Int64("pos", pos).Int32("val", 0);
  FrameWriter ping("ping");
  ping.Int64("pos", pos).Int32("val", 0);
  if (!SendBytes(wait.Build() + ping.Build())) return false;
  Message m;
  if (Receive(&m) != Status::kOk) return false;
  if (m.Command() == "pong") {
    *known = false;
    return true;
  }
  if (m.Command() != "-wait") return false;
  *known = true;
  return Expect("pong", &m);
}

bool Connection::SendWait(int64_t pos, int32_t val, int32_t waitMs) {
  FrameWriter f("wait");
  f.Int64("pos", pos).Int32("val", val).Int32("time", waitMs);
  return Send(f);
}

Connection::Status Connection::TakeWaitReply(PingResult* out, int timeoutMs) {
  Message m;
  for (;;) {
    Status status = Receive(&m, timeoutMs);
    if (status != Status::kOk) return status;
    if (m.Command() != "-wait") continue;
    out->max = m.Int64("max").value_or(0);
    out->val = m.Int32("val").value_or(0);
    return Status::kOk;
  }
}

bool Connection::List(std::string_view path, int64_t pos, int32_t zip,
                      ListResult* out) {
  FrameWriter f("list");
  f.Text("path", path).Int64("pos", pos).Int32("zip", zip);
  Message m;
  if (!Send(f) || !Expect("-list", &m)) return false;
  out->pos = m.Int64("pos").value_or(0);
  out->max = m.Int64("max").value_or(0);
  out->err = m.Text("err").value_or("");
  return TakeData(m, out);
}

bool Connection::Dload(const DloadRequest& r, DloadResult* out) {
  Message m;
  if (!SendBytes(BuildDloadFrame(r)) || !Expect("-dload", &m)) return false;
  return ParseDloadReply(m, out);
}

}  // namespace dsclient
