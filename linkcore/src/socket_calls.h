// The socket reads and writes of the I/O threads, made as plain system
// calls. libc's send and recv are cancellation points: around every call
// they switch the thread's cancellation type with two atomic operations,
// which on the request path of a small request cost as much as a lock.
// linkcore never cancels a thread, so it has no use for that switching.
// Results and errno are those of send(2) and recv(2).
#ifndef LINKCORE_SRC_SOCKET_CALLS_H_
#define LINKCORE_SRC_SOCKET_CALLS_H_

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace linkcore {

inline ssize_t SendOnSocket(int socket, const void* data, size_t length,
                            int flags) {
  return ::syscall(SYS_sendto, socket, data, length, flags, nullptr, 0);
}

inline ssize_t ReceiveFromSocket(int socket, void* buffer, size_t capacity,
                                 int flags) {
  return ::syscall(SYS_recvfrom, socket, buffer, capacity, flags, nullptr,
                   nullptr);
}

}  // namespace linkcore

#endif  // LINKCORE_SRC_SOCKET_CALLS_H_
