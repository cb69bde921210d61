// Writes a whole buffer to a descriptor, going on after short writes and
// interrupted calls. Thread safe on distinct descriptors.
#ifndef DIRSYNC_TOOLS_WRITE_ALL_H_
#define DIRSYNC_TOOLS_WRITE_ALL_H_

#include <string>

namespace dsclient_tool {

// False when a write fails (errno tells why) or writes nothing.
bool WriteAll(int fd, const std::string& bytes);

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_WRITE_ALL_H_
