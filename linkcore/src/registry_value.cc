#include "registry_value.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

constexpr const char* kDefaultRoot = "/etc/linkcore/hklm";

std::string Root() {
  const char* root = std::getenv("LINKCORE_HKLM");
  return root != nullptr && *root != '\0' ? root : kDefaultRoot;
}

// mkdir -p: creates every missing directory of path.
int MakeDirectories(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) return 0;
  }
}

}  // namespace

RegistryValue::RegistryValue(std::string_view keyPath, std::string_view name) {
  std::string key(keyPath);
  for (char& c : key) {
    if (c == '\\') c = '/';
  }
  keyDirectory_ = Root();
  if (!key.empty() && key.front() != '/') keyDirectory_ += '/';
  keyDirectory_ += key;
  path_ = keyDirectory_ + "/" + std::string(name);
}

bool RegistryValue::Read(std::string* text) const {
  const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  text->clear();
  char buffer[kMaxBytes + 1];
  while (ok) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    text->append(buffer, static_cast<size_t>(got));
    ok = text->size() <= kMaxBytes;
  }
  close(fd);
  if (!ok) text->clear();
  return ok;
}

int RegistryValue::Write(std::string_view text) const {
  if (int rc = MakeDirectories(keyDirectory_); rc != 0) return rc;
  const std::string temporary = path_ + ".new";
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int rc = 0;
  for (size_t done = 0; done < text.size() && rc == 0;) {
    const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno != EINTR) rc = errno;
    if (wrote > 0) done += static_cast<size_t>(wrote);
  }
  if (rc == 0 && fsync(fd) != 0) rc = errno;
  if (close(fd) != 0 && rc == 0) rc = errno;
  if (rc == 0 && rename(temporary.c_str(), path_.c_str()) != 0) rc = errno;
  if (rc != 0) unlink(temporary.c_str());
  return rc;
}
