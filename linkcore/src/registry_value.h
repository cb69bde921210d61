// RegistryValue: the local machine's configuration values kept as files.
//
// A key of HKEY_LOCAL_MACHINE is a directory below one root, a value is a
// file of that name in its key's directory holding the value's text. The
// root is /etc/linkcore/hklm unless the environment variable LINKCORE_HKLM
// names another (so tests and unprivileged set-ups need no root). Key paths
// use '\' or '/' between names; names are case-sensitive.
#ifndef LINKCORE_SRC_REGISTRY_VALUE_H_
#define LINKCORE_SRC_REGISTRY_VALUE_H_

#include <cstddef>
#include <string>
#include <string_view>

class RegistryValue {
 public:
  // The largest value text that is read; a longer value cannot be read,
  // as a value too large for its buffer cannot be read from the registry.
  static constexpr size_t kMaxBytes = 256;

  RegistryValue(std::string_view keyPath, std::string_view name);

  // Where the value lives: <root>/<key path>/<name>.
  const std::string& path() const { return path_; }

  // Reads the value's text. False when the key or the value is missing,
  // cannot be read, or is longer than kMaxBytes. Thread safe.
  bool Read(std::string* text) const;

  // Replaces the value's text, creating missing keys. The file is written
  // beside its final name and renamed over it, readable by its owner only.
  // Returns 0 or the errno code of the failing step. Thread safe.
  int Write(std::string_view text) const;

 private:
  std::string keyDirectory_;
  std::string path_;
};

#endif  // LINKCORE_SRC_REGISTRY_VALUE_H_
