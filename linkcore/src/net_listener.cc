#include "net_listener.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <ace/Guard_T.h>
#include <ace/INET_Addr.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_unistd.h>
#include <ace/SOCK_Stream.h>

#include "net_loop.h"
#include "net_server.h"

namespace linkcore {

namespace {
// Connections accepted per readiness before the loop serves others.
constexpr int kAcceptsPerWakeup = 32;
}  // namespace

KRL_NetListener::KRL_NetListener(int port, const ACE_INET_Addr& address,
                                 KRL_NetLoop* loop)
    : port_(port), address_(address), loop_(loop) {}

KRL_NetListener::~KRL_NetListener() { close(); }

ACE_HANDLE KRL_NetListener::get_handle() const {
  return acceptor_.get_handle();
}

bool KRL_NetListener::open() {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  if (closed_) {
    errno = ECANCELED;
    return false;
  }
  // A backlog of SOMAXCONN: a short one drops the SYNs of a burst.
  if (acceptor_.open(address_, 1, PF_INET, SOMAXCONN) == -1) return false;
  acceptor_.enable(ACE_NONBLOCK);
  spare_ = ACE_OS::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (loop_ != nullptr) {
    if (!loop_->add(this, acceptor_.get_handle(), KRL_NetLoop::kInput)) {
      const int error = errno;
      acceptor_.close();
      errno = error;
      return false;
    }
    registered_ = true;
  }
  return true;
}

void KRL_NetListener::close() {
  ACE_Guard<ACE_Thread_Mutex> guard(lock_);
  if (closed_) return;
  closed_ = true;
  if (registered_) {
    loop_->remove(acceptor_.get_handle());
    registered_ = false;
  }
  acceptor_.close();
  if (spare_ != ACE_INVALID_HANDLE) {
    ACE_OS::close(spare_);
    spare_ = ACE_INVALID_HANDLE;
  }
}

int KRL_NetListener::handle_input(ACE_HANDLE) {
  // The loop reports a listening socket once per change: whatever is left
  // in the backlog after this call is taken on a call again (return 1).
  for (int i = 0; i < kAcceptsPerWakeup; ++i) {
    ACE_SOCK_Stream stream;
    ACE_INET_Addr remote;
    {
      ACE_Guard<ACE_Thread_Mutex> guard(lock_);
      if (closed_) return 0;
      if (acceptor_.accept(stream, &remote) == -1) {
        const int error = errno;
        if (error == EWOULDBLOCK || error == EAGAIN) return 0;
        if (error == EINTR || error == ECONNABORTED || error == EPROTO) {
          continue;
        }
        ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"),
                   ACE_TEXT("ACE_SOCK_Acceptor::accept")));
        // Out of descriptors: one connection of the backlog is refused at
        // once with the one kept spare, and the rest on the calls again,
        // rather than left waiting with no descriptor for them. Any other
        // failure waits for the next connection.
        if ((error == EMFILE || error == ENFILE) && shedOne()) return 1;
        return 0;
      }
      KRL_NetServer& server = KRL_NetServer::instance();
      if (!server.admits(stream.get_handle())) {
        // Closed at once: the peer learns of it, and the descriptors the
        // host keeps in reserve stay free.
        stream.close();
        if (refused_++ == 0) {
          ACE_ERROR((LM_WARNING,
                     ACE_TEXT("linkcore: port %d: refusing new connections: "
                              "%d open, at most %d, %d descriptors kept in "
                              "reserve\n"),
                     port_, server.liveConnections(), server.maxConnections(),
                     server.reservedDescriptors()));
        }
        continue;
      }
      if (refused_ != 0) {
        ACE_ERROR((LM_NOTICE,
                   ACE_TEXT("linkcore: port %d: accepting connections again "
                            "after refusing %d\n"),
                   port_, refused_));
        refused_ = 0;
      }
      // Counted before the lock is released: once close() has returned,
      // shutdown knows of every connection this listener took.
      server.beginOpen();
    }
    KRL_NetServer::instance().accepted(stream.get_handle(), remote, port_);
  }
  return 1;
}

bool KRL_NetListener::shedOne() {
  if (spare_ == ACE_INVALID_HANDLE) return false;
  ACE_OS::close(spare_);
  const ACE_HANDLE dropped = ::accept(acceptor_.get_handle(), nullptr, nullptr);
  if (dropped != ACE_INVALID_HANDLE) ACE_OS::close(dropped);
  spare_ = ACE_OS::open("/dev/null", O_RDONLY | O_CLOEXEC);
  return dropped != ACE_INVALID_HANDLE;
}

}  // namespace linkcore
