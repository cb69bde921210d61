#include "platform/status.h"

#include <cerrno>
#include <cstring>

namespace dirsync {

Status Status::FromErrno(std::string_view context, int error) {
  const Code code = error == ENOENT || error == ENOTDIR || error == ESTALE
                         ? Code::kNotFound
                         : Code::kIOError;
  return Status(code, error, context);
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  std::string text = context_;
  if (error_ != 0) {
    if (!text.empty()) text += ": ";
    text += std::strerror(error_);
  }
  return text + note_;
}

}  // namespace dirsync
