// The server side of the protocol tests on the real network library: the
// client-link callbacks listening on an ephemeral loopback port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "app/client_link_table.h"
#include "linkcore.h"
#include "protocol/test_server.h"

namespace dirsync {
namespace {

// A port that was free a moment ago.
int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

int Start() {
  KRL_NetInit(2);
  for (int attempt = 0; attempt < 50; ++attempt) {
    int port = FreePort();
    if (port == 0) continue;
    if (KRL_NetListen(port, OnReceive, OnConnectionEvent, nullptr) == 1) return port;
    KRL_NetUnListen(port);  // taken meanwhile by another test program
  }
  std::abort();
}

}  // namespace

int TestServerPort() {
  static const int port = Start();
  return port;
}

}  // namespace dirsync
