// The connecting side's handshake, run to its end on the calling thread
// before the connection joins a loop, so that KRL_NetConnectTls can say
// whether the server was verified.
#ifndef LINKCORE_TLS_HANDSHAKE_H_
#define LINKCORE_TLS_HANDSHAKE_H_

#include <string>

#include <ace/config-lite.h>

#include "tls_session.h"

namespace linkcore {

// Drives session's handshake over the connected socket (made non-blocking
// here) until it completes, fails or timeoutMs passes. False with *error
// (the session's reason, or what went wrong with the socket) on failure.
// Bytes of the peer read past the handshake stay in the session.
bool RunClientHandshake(ACE_HANDLE socket, TlsSession* session, int timeoutMs,
                        std::string* error);

}  // namespace linkcore

#endif  // LINKCORE_TLS_HANDSHAKE_H_
