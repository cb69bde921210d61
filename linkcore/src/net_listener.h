// The listening socket of one port, served by the loop.
//
// On readiness it accepts the waiting connections (a bounded number per
// call, then it asks the loop to call again, so other connections are not
// starved) and hands each to the server, which joins it to the loop. A
// connection the server does not admit (too many open, or too few
// descriptors left: see KRL_NetSetLimits) is closed at once; an episode of
// refusals is logged when it begins and when it ends. When the process is
// out of descriptors it accepts and drops the connection with a descriptor
// kept in reserve, so the peer learns of it at once rather than waiting in
// the backlog.
#ifndef LINKCORE_NET_LISTENER_H_
#define LINKCORE_NET_LISTENER_H_

#include <ace/Event_Handler.h>
#include <ace/INET_Addr.h>
#include <ace/SOCK_Acceptor.h>
#include <ace/Thread_Mutex.h>

namespace linkcore {

class KRL_NetLoop;

class KRL_NetListener : public ACE_Event_Handler {
 public:
  // port: the listen-table key. address: what the socket binds (the
  // port's low 16 bits on one address, or on all of them). loop: the loop
  // that accepts (null: nothing is ever accepted).
  KRL_NetListener(int port, const ACE_INET_Addr& address, KRL_NetLoop* loop);
  ~KRL_NetListener() override;

  // Binds the address with SO_REUSEADDR, listens with a backlog of
  // SOMAXCONN and joins the loop. False, with errno set, on failure.
  // Thread safe.
  bool open();

  // Stops accepting and closes the listening socket; connections accepted
  // before go on. Thread safe. The object must stay alive until the loop
  // has ended, as it may still be inside handle_input.
  void close();

  ACE_HANDLE get_handle() const override;
  int handle_input(ACE_HANDLE) override;

 private:
  // Accepts one connection and drops it, using the reserve descriptor.
  // True when one was dropped.
  bool shedOne();

  const int port_;
  const ACE_INET_Addr address_;
  KRL_NetLoop* const loop_;
  // lock_ guards the listening socket against being closed while an
  // accept uses it, and the flags below. Taken before the loop's slot
  // lock.
  mutable ACE_Thread_Mutex lock_;
  ACE_SOCK_Acceptor acceptor_;
  ACE_HANDLE spare_ = ACE_INVALID_HANDLE;
  bool registered_ = false;
  bool closed_ = false;
  // Connections refused since the last one admitted (lock_).
  int refused_ = 0;
};

}  // namespace linkcore

#endif  // LINKCORE_NET_LISTENER_H_
