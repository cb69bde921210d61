#include "options.h"

#include <charconv>

namespace dsclient_tool {
namespace {

bool ToInt(const std::string& text, int low, int high, int* out) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

}  // namespace

std::string HelpText() {
  return R"(Usage:
  dirsync-client mirror [CONNECTION] [--zip] [--follow] [--interval-ms N]
                        [--skip-outside-links] DIR
  dirsync-client ls     [CONNECTION]
  dirsync-client get    [CONNECTION] [--zip] --out FILE PATH
  dirsync-client --help

CONNECTION:
  --host H          server host name or IPv4 address (default 127.0.0.1)
  --port P          server TCP port (default 333)
  --task T          task name to log in to (required)
  --user U          user id (required)
  --token-file F    file holding the user's token (required); one line end
                    at its end is not part of the token
  --tls             encrypt the connection (the server's TLSPORT) and verify
                    the server's certificate against the host name given
                    with --host; a certificate that does not verify ends
                    the run with exit status 1
  --ca FILE         PEM file of the authorities that sign the server's
                    certificate (default: the system's store)
  --cert FILE       PEM file of this client's certificate, with --key FILE
                    its private key, for servers that require one

mirror   Keeps DIR a copy of the task's tree. It reads the task's change
         log from where it stopped last time (DIR/.dirsync/state), applies
         every change in order (files added, changed, renamed, deleted;
         directories created, moved, removed) and downloads each file's
         latest version, writing it under a temporary name and renaming it
         into place with the server's modification time. When the server's
         store was recreated, DIR is rebuilt from scratch (everything but
         DIR/.dirsync is removed). Without --follow it stops once it has
         caught up; with --follow it goes on, told of each change by the
         server as it is stored (servers that cannot tell are asked every
         --interval-ms milliseconds, default 500), and reconnects with
         back-off (0.2 s doubling to 5 s) when the connection is lost.
         Symbolic links are made as links with their target text as it is;
         permissions are those of the tree's files; FIFOs, sockets and
         devices are skipped, and so are entries whose paths are longer
         than the system allows (one line each). --skip-outside-links
         leaves out links whose targets are absolute or lead out of DIR.
ls       Prints the task's catalog: one line per file or directory,
         "PATH<TAB>STATE<TAB>VERSION<TAB>SIZE", sorted by path.
get      Downloads the file PATH (catalog path, '/' or '\' separators,
         letter case ignored) into FILE, or into the directory FILE under
         its own name.

--zip    asks the server to compress listings and file data.

Exit status: 0 success; 1 failure (refused login, unknown task, lost
connection, unwritable directory); 2 bad command line; 130 mirror
stopped by SIGINT or SIGTERM (it goes on from there next time).
)";
}

bool ParseOptions(const std::vector<std::string>& args, Options* options,
                  std::string* error) {
  *options = Options();
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options->help = true;
      return true;
    }
    if (arg.rfind("--", 0) != 0 || arg == "--") {
      if (options->command.empty()) {
        options->command = arg;
      } else {
        options->operands.push_back(arg);
      }
      continue;
    }
    std::string name = arg;
    std::string value;
    bool inlineValue = false;
    size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      inlineValue = true;
    }
    if (name == "--zip" || name == "--follow" || name == "--tls" ||
        name == "--skip-outside-links") {
      if (inlineValue) {
        *error = name + " takes no value";
        return false;
      }
      (name == "--zip"      ? options->zip
       : name == "--follow" ? options->follow
       : name == "--tls"    ? options->tls
                            : options->skipOutsideLinks) = true;
      continue;
    }
    static const char* const withValue[] = {"--host", "--port", "--task", "--user",
                                            "--token-file", "--interval-ms", "--out",
                                            "--ca", "--cert", "--key"};
    bool known = false;
    for (const char* n : withValue) known = known || name == n;
    if (!known) {
      *error = "unknown option " + name;
      return false;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (name == "--host") {
      options->host = value;
    } else if (name == "--port") {
      if (!ToInt(value, 1, 65535, &options->port)) {
        *error = "--port must be a number from 1 to 65535";
        return false;
      }
    } else if (name == "--task") {
      options->task = value;
    } else if (name == "--user") {
      options->user = value;
    } else if (name == "--token-file") {
      options->tokenFile = value;
    } else if (name == "--interval-ms") {
      if (!ToInt(value, 1, 3600000, &options->intervalMs)) {
        *error = "--interval-ms must be a number from 1 to 3600000";
        return false;
      }
    } else if (name == "--out") {
      options->out = value;
    } else if (name == "--ca") {
      options->caFile = value;
    } else if (name == "--cert") {
      options->certFile = value;
    } else if (name == "--key") {
      options->keyFile = value;
    }
  }

  if (options->command.empty()) {
    *error = "no command given (mirror, ls or get)";
    return false;
  }
  if (options->command != "mirror" && options->command != "ls" &&
      options->command != "get") {
    *error = "unknown command " + options->command;
    return false;
  }
  if (options->task.empty() || options->user.empty() || options->tokenFile.empty()) {
    *error = "--task, --user and --token-file are required";
    return false;
  }
  if (!options->tls &&
      (!options->caFile.empty() || !options->certFile.empty() || !options->keyFile.empty())) {
    *error = "--ca, --cert and --key need --tls";
    return false;
  }
  if (options->certFile.empty() != options->keyFile.empty()) {
    *error = "--cert and --key go together";
    return false;
  }
  size_t operandsWanted = options->command == "ls" ? 0 : 1;
  if (options->operands.size() != operandsWanted) {
    *error = options->command == "mirror" ? "mirror needs exactly one directory"
             : options->command == "get"  ? "get needs exactly one catalog path"
                                          : "ls takes no operands";
    return false;
  }
  if (options->command == "get" && options->out.empty()) {
    *error = "get needs --out FILE";
    return false;
  }
  return true;
}

}  // namespace dsclient_tool
