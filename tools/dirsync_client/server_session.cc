#include "server_session.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace dsclient_tool {

bool ReadTokenFile(const std::string& path, std::string* token, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read token file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) {
    *error = "cannot read token file " + path;
    return false;
  }
  std::string text = content.str();
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.empty()) {
    *error = "token file " + path + " is empty";
    return false;
  }
  if (text.find('\0') != std::string::npos) {
    *error = "token file " + path + " holds a NUL byte";
    return false;
  }
  *token = std::move(text);
  return true;
}

LoginStatus OpenSession(dsclient::Connection& connection, const Options& options,
                        const std::string& token, SessionInfo* info,
                        std::string* message) {
  std::string where = options.host + ":" + std::to_string(options.port);
  if (options.tls && !connection.tls()) {
    dsclient::TlsOptions tls;
    tls.enabled = true;
    tls.caFile = options.caFile;
    tls.certFile = options.certFile;
    tls.keyFile = options.keyFile;
    std::string error;
    if (!connection.UseTls(tls, &error)) {
      *message = "TLS: " + error;
      return LoginStatus::kTlsFailed;
    }
  }
  if (!connection.Connect(options.host, options.port)) {
    // A handshake that only ran out of time may work later (a server that
    // is starting); one that failed will fail again.
    if (connection.tlsFailed() &&
        connection.error().find("timed out") == std::string::npos) {
      *message = "TLS handshake with " + where + " failed: " + connection.error();
      return LoginStatus::kTlsFailed;
    }
    *message = "cannot connect to " + where;
    if (!connection.error().empty()) *message += ": " + connection.error();
    return LoginStatus::kCannotConnect;
  }
  dsclient::LoginResult login;
  if (!connection.Login(options.user, token, options.task, &login)) {
    if (connection.tlsFailed()) {
      *message = "the server at " + where + " ended the TLS session: " +
                 connection.error();
      return LoginStatus::kTlsFailed;
    }
    if (!connection.connected()) {
      *message = "the server at " + where + " refused the login and closed the "
                 "connection: unknown task '" + options.task + "', unknown user '" +
                 options.user + "' or wrong token";
      return LoginStatus::kClosed;
    }
    connection.Close();
    *message = "no answer to the login from " + where;
    return LoginStatus::kNoReply;
  }
  if (login.data != "ok") {
    connection.Close();
    *message = "login refused by " + where + " for user '" + options.user +
               "' of task '" + options.task + "': wrong token";
    return LoginStatus::kRefused;
  }
  info->max = login.max;
  info->storeId = static_cast<uint32_t>(login.ver);
  return LoginStatus::kOk;
}

}  // namespace dsclient_tool
