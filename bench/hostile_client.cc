// Clients that try to exhaust or stall a dirsync server, for the figures of
// bench/run_hostile_bench.sh. The server's task is "bench", user "bench",
// token "token", with file reference 1 ("big.bin", version 1) of at least
// 4 MiB (protocol_bench_server lays that out).
//
// Usage:
//   hostile_client flood PORT CONNECTIONS DECLARED_BYTES
//       CONNECTIONS connections that never log in: each announces a frame
//       of DECLARED_BYTES and sends all of it but its last byte, as fast
//       as the server takes it. Prints what became of them, then "held",
//       and keeps them open until standard input closes.
//   hostile_client noread PORT CONNECTIONS REQUESTS
//       CONNECTIONS logged-in clients each send REQUESTS "dload" requests
//       of 4 MiB and never read a reply. Prints "held" once nothing more
//       goes out, and keeps them open until standard input closes.
//   hostile_client zlist PORT CONNECTIONS SECONDS
//       CONNECTIONS logged-in clients ask for zipped listings of the whole
//       store from 0, one after another, for SECONDS (after printing
//       "ready"); prints listings per second.
//   hostile_client pinglat PORT SECONDS
//       One logged-in client pings every 5 ms for SECONDS; prints the
//       median, 99th percentile and maximum in ms of the time from when
//       each ping was due to its answer.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"
#include "frame.h"

namespace {

using dsclient::Connection;
using dsclient::FrameWriter;
using dsclient::Message;

double Now() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "failed: %s (%s)\n", what, std::strerror(errno));
  std::exit(1);
}

void RaiseFileLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::unique_ptr<Connection> Connected(int port) {
  auto c = std::make_unique<Connection>();
  if (!c->Connect("127.0.0.1", port)) Fail("connect");
  return c;
}

std::unique_ptr<Connection> LoggedIn(int port) {
  auto c = Connected(port);
  dsclient::LoginResult r;
  if (!c->Login("bench", "token", "bench", &r) || r.data != "ok") Fail("login");
  return c;
}

void SetNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void WaitForStdinToClose() {
  std::printf("held\n");
  std::fflush(stdout);
  char c;
  while (::read(STDIN_FILENO, &c, 1) > 0) {
  }
}

// Sends from each connection's own remaining bytes while the server takes
// them, until every one is done, closed, or no byte went out for two
// seconds. Returns the bytes sent.
struct Outgoing {
  std::unique_ptr<Connection> connection;
  std::string bytes;
  size_t sent = 0;
  bool closed = false;
};

long long PushUntilStalled(std::vector<Outgoing>& out) {
  long long total = 0;
  double lastProgress = Now();
  while (Now() - lastProgress < 2.0) {
    bool progress = false;
    bool pending = false;
    for (Outgoing& o : out) {
      if (o.closed || o.sent == o.bytes.size()) continue;
      pending = true;
      const ssize_t n = ::send(o.connection->fd(), o.bytes.data() + o.sent,
                               std::min<size_t>(o.bytes.size() - o.sent, 1 << 16),
                               MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        o.sent += static_cast<size_t>(n);
        total += n;
        progress = true;
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        o.closed = true;
      }
    }
    if (!pending) break;
    if (progress) {
      lastProgress = Now();
    } else {
      ::usleep(2000);
    }
  }
  return total;
}

// Whether the server has closed the connection (a read sees the end or a
// reset); replies that arrived are dropped.
bool ServerClosed(int fd) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) return true;
    if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK;
  }
}

void Flood(int port, int connections, long long declared) {
  RaiseFileLimit();
  std::vector<Outgoing> out(static_cast<size_t>(connections));
  for (Outgoing& o : out) {
    o.connection = Connected(port);
    SetNonBlocking(o.connection->fd());
    o.bytes.assign(static_cast<size_t>(declared - 1), 'x');
    o.bytes[0] = 'T';
    const uint32_t total = static_cast<uint32_t>(declared);
    std::memcpy(&o.bytes[1], &total, 4);  // little-endian host
    o.bytes[5] = 0;
  }
  const long long sent = PushUntilStalled(out);
  int closed = 0;
  int whole = 0;
  for (Outgoing& o : out) {
    if (o.closed || ServerClosed(o.connection->fd())) {
      ++closed;
    } else if (o.sent == o.bytes.size()) {
      ++whole;
    }
  }
  std::printf("flood connections=%d declared=%lld closed_by_server=%d "
              "sent_all_but_one_byte=%d bytes_sent=%lld\n",
              connections, declared, closed, whole, sent);
  WaitForStdinToClose();
}

void NoRead(int port, int connections, int requests) {
  RaiseFileLimit();
  const std::string one = FrameWriter("dload")
                              .Text("path", "big.bin")
                              .Int64("fid", 1)
                              .Int64("pos", 0)
                              .Int32("ver", 1)
                              .Int32("size", 4 * 1024 * 1024)
                              .Int32("zip", 0)
                              .Build();
  std::vector<Outgoing> out(static_cast<size_t>(connections));
  for (Outgoing& o : out) {
    o.connection = LoggedIn(port);
    SetNonBlocking(o.connection->fd());
    for (int i = 0; i < requests; ++i) o.bytes += one;
  }
  const long long sent = PushUntilStalled(out);
  std::printf("noread connections=%d requests_sent=%lld of %lld\n", connections,
              sent / static_cast<long long>(one.size()),
              static_cast<long long>(connections) * requests);
  WaitForStdinToClose();
}

// Reads frames from fd into pending; returns how many whole replies
// arrived (their bytes are dropped), or -1 when the connection ended.
int TakeReplies(int fd, std::string& pending) {
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0) return -1;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return -1;
    }
    pending.append(chunk, static_cast<size_t>(n));
  }
  int replies = 0;
  while (pending.size() >= 6) {
    uint32_t total;
    std::memcpy(&total, pending.data() + 1, 4);
    if (pending.size() < total) break;
    pending.erase(0, total);
    ++replies;
  }
  return replies;
}

void ZippedLists(int port, int connections, double seconds) {
  RaiseFileLimit();
  const std::string request =
      FrameWriter("list").Text("path", "bench").Int64("pos", 0).Int32("zip", 1).Build();
  std::vector<std::unique_ptr<Connection>> conns;
  for (int i = 0; i < connections; ++i) conns.push_back(LoggedIn(port));
  std::printf("ready\n");
  std::fflush(stdout);
  const int epoll = epoll_create1(0);
  std::vector<std::string> pending(conns.size());
  for (size_t i = 0; i < conns.size(); ++i) {
    SetNonBlocking(conns[i]->fd());
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = i;
    epoll_ctl(epoll, EPOLL_CTL_ADD, conns[i]->fd(), &e);
    if (!conns[i]->SendBytes(request)) Fail("send");
  }
  long long lists = 0;
  const double end = Now() + seconds;
  std::vector<epoll_event> events(256);
  while (Now() < end) {
    const int n = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
    for (int k = 0; k < n; ++k) {
      const size_t i = events[k].data.u64;
      const int got = TakeReplies(conns[i]->fd(), pending[i]);
      if (got < 0) Fail("connection lost");
      for (int r = 0; r < got; ++r) {
        ++lists;
        if (!conns[i]->SendBytes(request)) Fail("send");
      }
    }
  }
  std::printf("zlist connections=%d lists_per_second=%.1f\n", connections,
              static_cast<double>(lists) / seconds);
}

void PingLatency(int port, double seconds) {
  auto c = LoggedIn(port);
  // One ping every 5 ms, each timed from when it was due rather than from
  // when it went out: a stalled ping delays the ones after it, and their
  // wait counts too (a client that only sent after each reply would take
  // few samples just while the server stalls).
  constexpr double kInterval = 0.005;
  std::vector<double> ms;
  const double start = Now();
  int32_t val = 0;
  for (double due = start; due < start + seconds; due += kInterval) {
    const double wait = due - Now();
    if (wait > 0) ::usleep(static_cast<useconds_t>(wait * 1e6));
    dsclient::PingResult p;
    if (!c->Ping(0, ++val, &p) || p.val != val) Fail("ping");
    ms.push_back((Now() - due) * 1000.0);
  }
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) { return ms[static_cast<size_t>(q * static_cast<double>(ms.size() - 1))]; };
  std::printf("pinglat count=%zu p50=%.3fms p99=%.3fms max=%.3fms\n", ms.size(),
              at(0.5), at(0.99), ms.back());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) Fail("usage: see the head of hostile_client.cc");
  const std::string mode = argv[1];
  const int port = std::atoi(argv[2]);
  if (mode == "flood" && argc == 5) {
    Flood(port, std::atoi(argv[3]), std::atoll(argv[4]));
  } else if (mode == "noread" && argc == 5) {
    NoRead(port, std::atoi(argv[3]), std::atoi(argv[4]));
  } else if (mode == "zlist" && argc == 5) {
    ZippedLists(port, std::atoi(argv[3]), std::atof(argv[4]));
  } else if (mode == "pinglat" && argc == 4) {
    PingLatency(port, std::atof(argv[3]));
  } else {
    Fail("usage: see the head of hostile_client.cc");
  }
  return 0;
}
