// The command line of dirsync-client: a command word, then options
// (--name VALUE or --name=VALUE) and operands in any order. Pure; thread
// safe.
#ifndef DIRSYNC_TOOLS_OPTIONS_H_
#define DIRSYNC_TOOLS_OPTIONS_H_

#include <string>
#include <vector>

namespace dsclient_tool {

struct Options {
  std::string command;  // "mirror", "ls" or "get"
  std::string host = "127.0.0.1";
  int port = 333;
  std::string task;
  std::string user;
  std::string tokenFile;
  bool zip = false;
  bool tls = false;      // --tls: encrypt, verify the server
  std::string caFile;    // --ca: authorities for the server (default system)
  std::string certFile;  // --cert/--key: client certificate (mutual TLS)
  std::string keyFile;
  bool follow = false;
  // mirror: links whose targets are absolute or lead out of DIR are not
  // made (one line each).
  bool skipOutsideLinks = false;
  int intervalMs = 500;
  std::string out;                    // get: the local file to write
  std::vector<std::string> operands;  // mirror: DIR; get: PATH
  bool help = false;
};

// False with *error for an unknown option, a missing value or operand,
// or a value out of range. --help anywhere sets help and succeeds.
bool ParseOptions(const std::vector<std::string>& args, Options* options,
                  std::string* error);

std::string HelpText();

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_OPTIONS_H_
