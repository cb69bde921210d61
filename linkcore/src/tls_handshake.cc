#include "tls_handshake.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

namespace linkcore {

namespace {

int64_t NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until the socket is ready for events or the deadline passes.
bool WaitReady(ACE_HANDLE socket, short events, int64_t deadline) {
  for (;;) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd p = {socket, events, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// Writes what the session has for the peer.
bool SendOutput(ACE_HANDLE socket, TlsSession* session, int64_t deadline,
                std::string* error) {
  const char* bytes;
  size_t length = session->output(&bytes);
  while (length > 0) {
    const ssize_t sent =
        ::send(socket, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes += sent;
      length -= static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (WaitReady(socket, POLLOUT, deadline)) continue;
      *error = "the handshake timed out";
      return false;
    }
    *error = std::string("cannot send: ") + strerror(errno);
    return false;
  }
  session->clearOutput();
  return true;
}

}  // namespace

bool RunClientHandshake(ACE_HANDLE socket, TlsSession* session, int timeoutMs,
                        std::string* error) {
  const int flags = ::fcntl(socket, F_GETFL);
  if (flags != -1) ::fcntl(socket, F_SETFL, flags | O_NONBLOCK);
  const int64_t deadline = NowMs() + timeoutMs;
  char buffer[16384];
  for (;;) {
    const TlsSession::Step step = session->handshake();
    // Also on failure: the alert tells the server why.
    const bool sent = SendOutput(socket, session, deadline, error);
    if (step == TlsSession::Step::kFailed) {
      *error = session->failure();
      return false;
    }
    if (!sent) return false;
    if (step == TlsSession::Step::kDone) return true;
    if (step == TlsSession::Step::kClosed) {
      *error = "the server closed the connection";
      return false;
    }
    const ssize_t received = ::recv(socket, buffer, sizeof buffer, 0);
    if (received > 0) {
      if (!session->feed(buffer, static_cast<size_t>(received))) {
        *error = "no memory";
        return false;
      }
      continue;
    }
    if (received == 0) {
      *error = "the server closed the connection during the handshake";
      return false;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = std::string("cannot receive: ") + strerror(errno);
      return false;
    }
    if (!WaitReady(socket, POLLIN, deadline)) {
      *error = "the handshake timed out";
      return false;
    }
  }
}

}  // namespace linkcore
