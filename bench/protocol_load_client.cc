// Load client for the dirsync protocol (and, for comparison, RESP PING
// against redis-server with the same connection handling).
//
// Usage:
//   protocol_load_client ping PORT dirsync|resp CONNECTIONS SECONDS [PID]
//       Each connection (logged in first, for dirsync) keeps one ping in
//       flight; prints round trips per second. Given the server's PID, it
//       first prints the processor time (user + system, every thread) the
//       server spent per round trip over the same counted seconds.
//   protocol_load_client list PORT ZIP ROUNDS
//       One connection reads the whole store of task "bench" from 0, block
//       by block; prints store MiB/s (bytes before compression).
//   protocol_load_client dload PORT ZIP ROUNDS
//       One connection downloads file 1 in 4 MiB ranges; prints MiB/s.
//   protocol_load_client hold PORT CONNECTIONS
//       Logs CONNECTIONS clients in, has each list once from 0, prints
//       "held" and keeps them open until standard input closes.
// The server's task is "bench", user "bench", token "token".
//
// A first argument "--tls CA_FILE" encrypts every dirsync connection,
// verifying the server against CA_FILE (ping, list, dload, hold). Pings
// are then read through the connection's own receive, one reply at a time.
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "failed: %s\n", what);
  std::exit(1);
}

// The authorities of --tls; empty: plain connections.
std::string tlsCaFile;

std::unique_ptr<Connection> LoggedIn(int port) {
  auto c = std::make_unique<Connection>();
  if (!tlsCaFile.empty()) {
    dsclient::TlsOptions tls;
    tls.enabled = true;
    tls.caFile = tlsCaFile;
    std::string error;
    if (!c->UseTls(tls, &error)) Fail(error.c_str());
  }
  if (!c->Connect("127.0.0.1", port)) Fail(c->error().c_str());
  dsclient::LoginResult r;
  if (!c->Login("bench", "token", "bench", &r) || r.data != "ok") Fail("login");
  return c;
}

void RaiseFileLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// Bytes that complete one reply in buffer, or 0 when it is not complete.
size_t ReplyLength(bool resp, const std::string& buffer) {
  if (resp) return buffer.size() >= 7 ? 7 : 0;
  if (buffer.size() < 6) return 0;
  uint32_t total;
  std::memcpy(&total, buffer.data() + 1, 4);  // little-endian host
  return buffer.size() >= total ? total : 0;
}

// Processor time the process has used so far (user + system, all of its
// threads), in seconds; negative when it cannot be read.
double ProcessCpuSeconds(long pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return -1;
  char text[1024];
  size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = '\0';
  // The fields after the command name, which is in parentheses and may
  // hold spaces: state is field 3, utime 14 and stime 15.
  const char* p = std::strrchr(text, ')');
  if (p == nullptr) return -1;
  unsigned long long utime = 0, stime = 0;
  if (std::sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                  &utime, &stime) != 2) {
    return -1;
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void Ping(int port, bool resp, int connections, double seconds, long serverPid) {
  RaiseFileLimit();
  std::vector<std::unique_ptr<Connection>> conns;
  for (int i = 0; i < connections; ++i) {
    if (resp) {
      conns.push_back(std::make_unique<Connection>());
      if (!conns.back()->Connect("127.0.0.1", port)) Fail("connect");
    } else {
      conns.push_back(LoggedIn(port));
    }
  }
  const std::string request = resp ? std::string("*1\r\n$4\r\nPING\r\n")
                                   : FrameWriter("ping").Int64("pos", 0).Int32("val", 1).Build();
  int epoll = epoll_create1(0);
  std::vector<std::string> pending(conns.size());
  for (size_t i = 0; i < conns.size(); ++i) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = i;
    epoll_ctl(epoll, EPOLL_CTL_ADD, conns[i]->fd(), &e);
    conns[i]->SendBytes(request);
  }
  // Warm up for a second, then count.
  const double start = Now();
  const double measureFrom = start + 1.0;
  const double end = measureFrom + seconds;
  long long trips = 0;
  double serverCpuFrom = -1;
  std::vector<epoll_event> events(1024);
  char chunk[65536];
  while (true) {
    double now = Now();
    if (now >= end) break;
    if (serverPid > 0 && serverCpuFrom < 0 && now >= measureFrom) {
      serverCpuFrom = ProcessCpuSeconds(serverPid);
    }
    int n = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
    for (int k = 0; k < n; ++k) {
      size_t i = events[k].data.u64;
      if (conns[i]->tls()) {
        // Decrypted replies: taken whole from the connection, without
        // waiting (one is in flight per connection).
        Message m;
        do {
          const Connection::Status status = conns[i]->Receive(&m, 0);
          if (status == Connection::Status::kTimeout) break;
          if (status != Connection::Status::kOk) Fail("connection lost");
          if (now >= measureFrom) ++trips;
          conns[i]->SendBytes(request);
        } while (conns[i]->HasWholeMessage());
        continue;
      }
      ssize_t got = ::recv(conns[i]->fd(), chunk, sizeof chunk, MSG_DONTWAIT);
      if (got <= 0) Fail("connection lost");
      pending[i].append(chunk, static_cast<size_t>(got));
      while (size_t len = ReplyLength(resp, pending[i])) {
        pending[i].erase(0, len);
        if (now >= measureFrom) ++trips;
        conns[i]->SendBytes(request);
      }
    }
  }
  if (serverPid > 0) {
    const double serverCpuTo = ProcessCpuSeconds(serverPid);
    if (serverCpuFrom < 0 || serverCpuTo < 0 || trips == 0) Fail("server processor time");
    std::printf("server_cpu_us_per_trip %.3f\n",
                (serverCpuTo - serverCpuFrom) * 1e6 / static_cast<double>(trips));
  }
  std::printf("%.0f\n", static_cast<double>(trips) / seconds);
}

// Sends one request and returns its reply.
Message Ask(Connection& c, const FrameWriter& f) {
  Message m;
  if (!c.Send(f) || c.Receive(&m, 30000) != Connection::Status::kOk) Fail("reply");
  if (m.Has("err")) Fail(m.Text("err").value_or("err").c_str());
  return m;
}

void List(int port, int zip, int rounds) {
  auto c = LoggedIn(port);
  long long bytes = 0;
  const double start = Now();
  for (int r = 0; r < rounds; ++r) {
    int64_t pos = 0, max = 1;
    while (pos < max) {
      Message m = Ask(*c, FrameWriter("list").Text("path", "bench").Int64("pos", pos).Int32("zip", zip));
      max = m.Int64("max").value_or(0);
      int32_t len = m.Int32("len").value_or(0);
      if (pos < max && len <= 0) Fail("no data");
      pos += len;
      bytes += len;
    }
  }
  std::printf("%.1f\n", static_cast<double>(bytes) / (1024.0 * 1024.0) / (Now() - start));
}

void Dload(int port, int zip, int rounds) {
  auto c = LoggedIn(port);
  long long bytes = 0;
  const double start = Now();
  for (int r = 0; r < rounds; ++r) {
    for (int64_t pos = 0;; pos += 4 * 1024 * 1024) {
      Message m;
      FrameWriter f("dload");
      f.Text("path", "big.bin").Int64("fid", 1).Int64("pos", pos).Int32("ver", 1)
          .Int32("size", 4 * 1024 * 1024).Int32("zip", zip);
      if (!c->Send(f) || c->Receive(&m, 30000) != Connection::Status::kOk) Fail("reply");
      if (m.Has("err")) break;  // past the end of the file
      int32_t len = m.Int32("len").value_or(0);
      bytes += len;
      if (len < 4 * 1024 * 1024) break;
    }
  }
  std::printf("%.1f\n", static_cast<double>(bytes) / (1024.0 * 1024.0) / (Now() - start));
}

void Hold(int port, int connections) {
  RaiseFileLimit();
  std::vector<std::unique_ptr<Connection>> conns;
  for (int i = 0; i < connections; ++i) {
    conns.push_back(LoggedIn(port));
    Ask(*conns.back(), FrameWriter("list").Text("path", "bench").Int64("pos", 0).Int32("zip", 0));
  }
  std::printf("held\n");
  std::fflush(stdout);
  char c;
  while (::read(STDIN_FILENO, &c, 1) > 0) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--tls") == 0) {
    tlsCaFile = argv[2];
    argc -= 2;
    argv += 2;
  }
  if (argc < 3) Fail("usage: see the head of protocol_load_client.cc");
  const std::string mode = argv[1];
  const int port = std::atoi(argv[2]);
  if (mode == "ping" && (argc == 6 || argc == 7)) {
    Ping(port, std::strcmp(argv[3], "resp") == 0, std::atoi(argv[4]), std::atof(argv[5]),
         argc == 7 ? std::atol(argv[6]) : 0);
  } else if (mode == "list" && argc == 5) {
    List(port, std::atoi(argv[3]), std::atoi(argv[4]));
  } else if (mode == "dload" && argc == 5) {
    Dload(port, std::atoi(argv[3]), std::atoi(argv[4]));
  } else if (mode == "hold" && argc == 4) {
    Hold(port, std::atoi(argv[3]));
  } else {
    Fail("usage: see the head of protocol_load_client.cc");
  }
  return 0;
}
