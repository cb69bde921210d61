// The private world of one end-to-end test: a temporary directory with
//   server/   the server's program directory (program, dirsync.ini, data/,
//             user/), on the test filesystem
//   vol/      a tmpfs of its own (mounted in a private mount namespace of
//             the test process, which the server and client inherit), or a
//             plain directory when no tmpfs can be mounted; it holds
//   vol/Root  the task's root, and
//   vol/away  a directory outside the root on the same filesystem, for
//             entries that move into and out of the root
//   mirror/   the client's mirror
// Removed (and unmounted) on destruction. Not thread safe.
#ifndef DIRSYNC_TESTS_E2E_SANDBOX_H_
#define DIRSYNC_TESTS_E2E_SANDBOX_H_

#include <string>

namespace dirsync::e2e {

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Empty when the sandbox could not be made; then error() says why.
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // True when vol/ is a tmpfs of this test alone.
  bool onTmpfs() const { return mounted_; }

  // Paths without a trailing slash.
  const std::string& base() const { return base_; }
  std::string serverDir() const { return base_ + "/server"; }
  std::string volume() const { return base_ + "/vol"; }
  std::string root() const { return volume() + "/Root"; }
  std::string away() const { return volume() + "/away"; }
  std::string mirror() const { return base_ + "/mirror"; }

 private:
  std::string base_;
  std::string error_;
  bool mounted_ = false;
};

}  // namespace dirsync::e2e

#endif  // DIRSYNC_TESTS_E2E_SANDBOX_H_
