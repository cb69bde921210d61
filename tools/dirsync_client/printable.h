// Names from the network shown in log lines: control bytes become \xNN so
// that a hostile name cannot move the cursor or fake a log line. Pure;
// thread safe.
#ifndef DIRSYNC_TOOLS_PRINTABLE_H_
#define DIRSYNC_TOOLS_PRINTABLE_H_

#include <cstdio>
#include <string>
#include <string_view>

namespace dsclient_tool {

inline std::string Printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_PRINTABLE_H_
