#include "e2e/sandbox.h"

#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace dirsync::e2e {
namespace {

// A mount namespace of this process alone, so that a tmpfs mounted in it
// is seen by this process and its children only and goes away with them.
// Once per process; false when not possible (not root, no namespaces).
bool PrivateMountNamespace() {
  static const bool made = [] {
    if (::geteuid() != 0) return false;
    if (::unshare(CLONE_NEWNS) != 0) return false;
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }();
  return made;
}

}  // namespace

Sandbox::Sandbox() {
  const char* tmp = ::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/dirsync-e2e-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    error_ = "mkdtemp: " + std::string(std::strerror(errno));
    return;
  }
  base_ = pattern;
  std::error_code ec;
  for (const std::string& dir : {serverDir(), volume(), mirror()}) {
    std::filesystem::create_directories(dir, ec);
  }
  // The server marks the whole filesystem of the drive: a tmpfs of its own
  // keeps other tests' writes out of its way. A tmpfs numbers inodes from
  // small values, so file handles fit the server's 64-bit references.
  if (PrivateMountNamespace() &&
      ::mount("tmpfs", volume().c_str(), "tmpfs", 0, "size=512m,mode=0755") == 0) {
    mounted_ = true;
  }
  std::filesystem::create_directories(root(), ec);
  std::filesystem::create_directories(away(), ec);
  if (ec) error_ = "cannot lay out " + base_ + ": " + ec.message();
}

Sandbox::~Sandbox() {
  if (base_.empty()) return;
  // DIRSYNC_E2E_KEEP=1 keeps the directories (a tmpfs volume goes away
  // with the test's mount namespace all the same) for a look afterwards.
  const char* keep = ::getenv("DIRSYNC_E2E_KEEP");
  if (keep != nullptr && *keep == '1') return;
  if (mounted_) ::umount2(volume().c_str(), MNT_DETACH);
  std::error_code ignored;
  std::filesystem::remove_all(base_, ignored);
}

}  // namespace dirsync::e2e
