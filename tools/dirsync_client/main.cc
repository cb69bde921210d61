// dirsync-client: mirrors a task of a dirsync server into a local
// directory, lists its catalog or fetches one file. See --help.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "catalog_commands.h"
#include "client_log.h"
#include "mirror_command.h"
#include "options.h"
#include "server_session.h"

namespace {

void OnStopSignal(int) { dsclient_tool::stopRequested = true; }

}  // namespace

int main(int argc, char** argv) {
  using namespace dsclient_tool;
  std::vector<std::string> args(argv + 1, argv + argc);
  Options options;
  std::string error;
  if (!ParseOptions(args, &options, &error)) {
    std::fprintf(stderr, "dirsync-client: %s\nTry 'dirsync-client --help'.\n",
                 error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }
  std::string token;
  if (!ReadTokenFile(options.tokenFile, &token, &error)) {
    Log("%s", error.c_str());
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  if (options.command == "mirror") return RunMirror(options, token);
  if (options.command == "ls") return RunList(options, token);
  return RunGet(options, token);
}
