#include "local_path.h"

#include <strings.h>

namespace dsclient_tool {

bool ToLocalRelative(std::string_view name, std::string* relative,
                     std::string* why) {
  relative->clear();
  if (name.empty()) {
    *why = "empty path";
    return false;
  }
  if (name.front() == '\\' || name.front() == '/') {
    *why = "absolute path";
    return false;
  }
  size_t start = 0;
  bool first = true;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = name.size();
    std::string_view part = name.substr(start, end - start);
    if (part.empty()) {
      *why = "empty path component";
      return false;
    }
    if (part == "." || part == "..") {
      *why = "'.' or '..' component";
      return false;
    }
    if (part.find('\0') != std::string_view::npos) {
      *why = "NUL in path";
      return false;
    }
    if (first && part.size() == std::char_traits<char>::length(kStateDirName) &&
        ::strncasecmp(part.data(), kStateDirName, part.size()) == 0) {
      *why = "path inside the mirror's own .dirsync directory";
      return false;
    }
    if (!first) relative->push_back('/');
    relative->append(part);
    first = false;
    start = end + 1;
  }
  return true;
}

std::string ParentOf(std::string_view relative) {
  size_t slash = relative.rfind('/');
  return slash == std::string_view::npos ? std::string()
                                         : std::string(relative.substr(0, slash));
}

bool LinkLeavesTree(std::string_view linkPath, std::string_view target) {
  if (target.empty() || target.front() == '/') return true;
  // Depth of the link's directory below the root.
  long depth = 0;
  for (char c : linkPath) depth += c == '/' ? 1 : 0;
  size_t at = 0;
  while (at <= target.size()) {
    size_t slash = target.find('/', at);
    std::string_view part = target.substr(at, slash == std::string_view::npos
                                                  ? std::string_view::npos
                                                  : slash - at);
    if (part == "..") {
      if (--depth < 0) return true;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
    if (slash == std::string_view::npos) break;
    at = slash + 1;
  }
  return false;
}

}  // namespace dsclient_tool
