// Connecting and logging in: reads the token file, connects, sends "reg"
// and tells the ways it can fail apart, each with a message for the user.
// Not thread safe; uses one Connection.
#ifndef DIRSYNC_TOOLS_SERVER_SESSION_H_
#define DIRSYNC_TOOLS_SERVER_SESSION_H_

#include <cstdint>
#include <string>

#include "connection.h"
#include "options.h"

namespace dsclient_tool {

enum class LoginStatus {
  kOk,
  kCannotConnect,  // no TCP connection (server down, wrong host or port)
  kRefused,        // the server said "fail": wrong token
  kClosed,         // the server closed the connection: unknown task or user
  kNoReply,        // connected, but no answer in time
  kTlsFailed,      // the TLS settings or the handshake failed (a certificate
                   // that does not verify, a server without TLS)
};

struct SessionInfo {
  int64_t max = 0;       // store length at login
  uint32_t storeId = 0;  // identity of the task's store
};

// Reads the token: the whole file without one trailing line end. False
// with *error when it cannot be read or is empty.
bool ReadTokenFile(const std::string& path, std::string* token, std::string* error);

// Connects to options.host:port and logs in to options.task.
LoginStatus OpenSession(dsclient::Connection& connection, const Options& options,
                        const std::string& token, SessionInfo* info,
                        std::string* message);

// True for failures that a later attempt may not repeat (the server may
// be restarting); false for refusals that only the user can mend.
inline bool IsTransient(LoginStatus status) {
  return status == LoginStatus::kCannotConnect || status == LoginStatus::kNoReply;
}

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_SERVER_SESSION_H_
