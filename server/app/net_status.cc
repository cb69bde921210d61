#include "app/net_status.h"

#include <string>
#include <string_view>

#include "platform/log.h"
#include "linkcore.h"

namespace dirsync {

void LogNetStatus() {
  // The text has seven short lines; a log line holds at most 1023
  // characters, so no line of it is ever cut.
  char text[1024];
  KRL_NetDump(text, sizeof text);
  std::string_view rest(text);
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string line(rest.substr(0, end));
    LogPrint("%D %s\n", line.c_str());
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
}

}  // namespace dirsync
