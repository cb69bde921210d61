// Turns a path of the server's catalog (relative to the task root, '\'
// separated) into a relative Linux path below the mirror directory, or
// refuses it. Names come from the network, so nothing is trusted: a path
// that is empty, absolute, holds an empty, "." or ".." component, or
// whose first component is the mirror's own ".dirsync" directory (in any
// letter case) is refused. Pure functions; thread safe.
#ifndef DIRSYNC_TOOLS_LOCAL_PATH_H_
#define DIRSYNC_TOOLS_LOCAL_PATH_H_

#include <string>
#include <string_view>

namespace dsclient_tool {

// The directory inside a mirror that holds the client's own files.
constexpr const char* kStateDirName = ".dirsync";

// On success, *relative holds the path with '/' separators. On refusal,
// *why says what is wrong. Both '\' and '/' count as separators.
bool ToLocalRelative(std::string_view catalogName, std::string* relative,
                     std::string* why);

// The parent of a relative path ("a/b/c" -> "a/b", "c" -> "").
std::string ParentOf(std::string_view relative);

// Whether a symbolic link at the relative path linkPath whose target text
// is target points outside the mirror: an absolute target, or one whose
// ".." components climb above the mirror's root (judged by the text
// alone; links on the way are not followed).
bool LinkLeavesTree(std::string_view linkPath, std::string_view target);

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_LOCAL_PATH_H_
