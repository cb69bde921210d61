// A single-threaded epoll load client for TCP request/reply servers.
//
// It speaks one of two protocols, so that a linkcore echo host and a local
// redis-server are measured by the same client in the same run:
//   echo  a framed ping (4-byte little-endian length, then that many bytes)
//         that an echo server returns unchanged;
//   resp  the RESP command PING, answered with "+PONG\r\n".
//
// Modes:
//   pingpong  N connections, each with one request in flight; prints the
//             round trips per second over the measured interval.
//   stream    one connection writes BYTES as fast as the server takes them
//             while reading the echo; prints MiB/s (echo protocol only).
//   idle      opens N connections, has each answer one request, keeps them
//             open and then times new connections (connect, request,
//             reply); prints the median and worst time.
//
// Usage: net_load_client PORT echo|resp pingpong|stream|idle
//                        [N or BYTES] [SECONDS]
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

[[noreturn]] void Die(const char* what) {
  perror(what);
  exit(1);
}

struct Protocol {
  std::string request;
  size_t replyLength;
};

Protocol MakeProtocol(const std::string& name) {
  if (name == "resp") return {"*1\r\n$4\r\nPING\r\n", 7};
  // Same size as the RESP request: a 4-byte length and 10 bytes.
  std::string frame("\x0a\x00\x00\x00PINGPINGPI", 14);
  return {frame, frame.size()};
}

int ConnectTo(int port, bool blocking) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) Die("socket");
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Die("connect");
  }
  if (!blocking) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

void WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      Die("write");
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
}

void ReadExactly(int fd, size_t length) {
  char buffer[256];
  while (length > 0) {
    ssize_t n = read(fd, buffer, std::min(length, sizeof buffer));
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      Die("read");
    }
    length -= static_cast<size_t>(n);
  }
}

// One request in flight per connection; counts completed round trips.
void PingPong(int port, const Protocol& protocol, int connections,
              double seconds) {
  int epoll = epoll_create1(0);
  std::vector<int> fds;
  std::vector<size_t> received(static_cast<size_t>(connections), 0);
  for (int i = 0; i < connections; ++i) {
    int fd = ConnectTo(port, false);
    fds.push_back(fd);
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
  }
  for (int fd : fds) {
    WriteAll(fd, protocol.request.data(), protocol.request.size());
  }
  const double warmUpEnd = Now() + 0.5;
  const double end = warmUpEnd + seconds;
  uint64_t counted = 0;
  bool measuring = false;
  double start = 0;
  std::vector<epoll_event> events(1024);
  char buffer[4096];
  for (;;) {
    int ready = epoll_wait(epoll, events.data(),
                           static_cast<int>(events.size()), 100);
    const double now = Now();
    if (!measuring && now >= warmUpEnd) {
      measuring = true;
      start = now;
      counted = 0;
    }
    if (now >= end) break;
    for (int i = 0; i < ready; ++i) {
      const uint32_t index = events[i].data.u32;
      const int fd = fds[index];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno == EAGAIN) continue;
        fprintf(stderr, "connection %u lost\n", index);
        exit(1);
      }
      received[index] += static_cast<size_t>(n);
      while (received[index] >= protocol.replyLength) {
        received[index] -= protocol.replyLength;
        ++counted;
        WriteAll(fd, protocol.request.data(), protocol.request.size());
      }
    }
  }
  const double elapsed = Now() - start;
  printf("pingpong connections=%d round_trips_per_sec=%.0f\n", connections,
         static_cast<double>(counted) / elapsed);
  for (int fd : fds) close(fd);
  close(epoll);
}

// One connection pushes total bytes through the echo and reads them back.
void Stream(int port, uint64_t total) {
  int fd = ConnectTo(port, false);
  int epoll = epoll_create1(0);
  epoll_event event = {};
  event.events = EPOLLIN | EPOLLOUT;
  epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
  std::vector<char> out(256 * 1024), in(256 * 1024);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(i * 7);
  uint64_t sent = 0, received = 0;
  const double start = Now();
  while (received < total) {
    epoll_event ready[1];
    if (epoll_wait(epoll, ready, 1, 1000) <= 0) continue;
    if ((ready[0].events & EPOLLOUT) && sent < total) {
      size_t chunk = static_cast<size_t>(
          std::min<uint64_t>(out.size(), total - sent));
      ssize_t n = write(fd, out.data(), chunk);
      if (n > 0) sent += static_cast<uint64_t>(n);
      if (sent == total) {
        event.events = EPOLLIN;
        epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &event);
      }
    }
    if (ready[0].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
      ssize_t n = read(fd, in.data(), in.size());
      if (n == 0) {
        fprintf(stderr, "stream closed early\n");
        exit(1);
      }
      if (n > 0) received += static_cast<uint64_t>(n);
    }
  }
  const double elapsed = Now() - start;
  printf("stream bytes=%llu mib_per_sec=%.0f\n",
         static_cast<unsigned long long>(total),
         static_cast<double>(total) / (1024.0 * 1024.0) / elapsed);
  close(fd);
  close(epoll);
}

// Holds idle connections open and times how fast a new one is served.
void Idle(int port, const Protocol& protocol, int connections) {
  std::vector<int> fds;
  for (int i = 0; i < connections; ++i) {
    int fd = ConnectTo(port, true);
    WriteAll(fd, protocol.request.data(), protocol.request.size());
    ReadExactly(fd, protocol.replyLength);
    fds.push_back(fd);
  }
  std::vector<double> times;
  for (int probe = 0; probe < 20; ++probe) {
    const double start = Now();
    int fd = ConnectTo(port, true);
    WriteAll(fd, protocol.request.data(), protocol.request.size());
    ReadExactly(fd, protocol.replyLength);
    times.push_back((Now() - start) * 1000.0);
    close(fd);
  }
  std::sort(times.begin(), times.end());
  printf("idle connections=%d new_connection_ms_median=%.3f max=%.3f\n",
         connections, times[times.size() / 2], times.back());
  for (int fd : fds) close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr,
            "usage: %s PORT echo|resp pingpong|stream|idle [N|BYTES] "
            "[SECONDS]\n",
            argv[0]);
    return 2;
  }
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  const int port = atoi(argv[1]);
  const Protocol protocol = MakeProtocol(argv[2]);
  const std::string mode = argv[3];
  const char* count = argc > 4 ? argv[4] : "50";
  const double seconds = argc > 5 ? atof(argv[5]) : 3.0;
  if (mode == "pingpong") {
    PingPong(port, protocol, atoi(count), seconds);
  } else if (mode == "stream") {
    Stream(port, strtoull(count, nullptr, 10));
  } else if (mode == "idle") {
    Idle(port, protocol, atoi(count));
  } else {
    fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
  }
  return 0;
}
