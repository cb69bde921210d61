// A stand-in for the network library while it is not yet built: blocking
// sockets with one reader thread per connection, delivering the same
// callbacks under the same contract (open event before data, chunks of at
// most 8188 bytes, the close event once, on the thread that closes; a
// disconnect delivers it before it returns).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "core/client_link_net.h"
#include "core/client_links.h"
#include "protocol/test_server.h"

namespace dirsync {
namespace {

struct Conn {
  explicit Conn(int f) : fd(f) {}
  ~Conn() { ::close(fd); }
  const int fd;
  std::mutex writeLock;
};

class StandInNet final : public LinkNet {
 public:
  int Send(uint64_t id, const void* data, int length) override {
    std::shared_ptr<Conn> conn = Find(id);
    if (!conn) return 0;
    bool failed = false;
    {
      std::lock_guard<std::mutex> guard(conn->writeLock);
      const char* p = static_cast<const char*>(data);
      size_t left = static_cast<size_t>(length);
      while (left > 0) {
        ssize_t w = ::send(conn->fd, p, left, MSG_NOSIGNAL);
        if (w <= 0) {
          failed = true;
          break;
        }
        p += w;
        left -= static_cast<size_t>(w);
      }
    }
    if (failed) Close(id);
    return 1;
  }

  int DisConnect(uint64_t id) override { return Close(id) ? 1 : 0; }

  int GetAddr(uint64_t id, int which, char* buf, int size) override {
    std::shared_ptr<Conn> conn = Find(id);
    if (!conn) return 0;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (which != 0) {
      ::getpeername(conn->fd, reinterpret_cast<sockaddr*>(&addr), &len);
    } else {
      ::getsockname(conn->fd, reinterpret_cast<sockaddr*>(&addr), &len);
    }
    char ip[INET_ADDRSTRLEN] = "0.0.0.0";
    ::inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    if (size > 0) std::snprintf(buf, static_cast<size_t>(size), "%s:%d", ip, ntohs(addr.sin_port));
    return 1;
  }

  void Serve(int listener) {
    while (true) {
      int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      auto conn = std::make_shared<Conn>(fd);
      uint64_t id = nextId_++;
      {
        std::lock_guard<std::mutex> guard(lock_);
        live_[id] = conn;
      }
      OnConnectionEvent(id, 1);
      std::thread([this, id, conn] { Read(id, conn); }).detach();
    }
  }

 private:
  void Read(uint64_t id, std::shared_ptr<Conn> conn) {
    char buffer[8192];
    while (true) {
      ssize_t got = ::recv(conn->fd, buffer, 8188, 0);
      if (got <= 0) break;
      buffer[got] = '\0';
      OnReceive(id, buffer, static_cast<int>(got));
    }
    Close(id);
  }

  std::shared_ptr<Conn> Find(uint64_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = live_.find(id);
    return it == live_.end() ? nullptr : it->second;
  }

  bool Close(uint64_t id) {
    std::shared_ptr<Conn> conn;
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = live_.find(id);
      if (it == live_.end()) return false;
      conn = std::move(it->second);
      live_.erase(it);
    }
    ::shutdown(conn->fd, SHUT_RDWR);
    OnConnectionEvent(id, 0);
    return true;
  }

  std::mutex lock_;
  std::unordered_map<uint64_t, std::shared_ptr<Conn>> live_;
  std::atomic<uint64_t> nextId_{1};
};

int Start() {
  auto* net = new StandInNet;  // lives as long as the process
  SetClientLinkNetForTesting(net);
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 1024) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::abort();
  }
  std::thread([net, listener] { net->Serve(listener); }).detach();
  return ntohs(addr.sin_port);
}

}  // namespace

int TestServerPort() {
  static const int port = Start();
  return port;
}

}  // namespace dirsync
