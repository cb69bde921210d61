// ThreadImpersonation: makes one thread act as another account.
//
// On Linux, credentials belong to each thread, but the C library's
// setresuid/setresgid/setgroups wrappers apply a change to every thread of
// the process. The raw system calls change only the calling thread, which
// is what impersonation needs: the thread's effective user and group and
// its supplementary groups become the account's, while its real and saved
// user stay as they were, so the thread keeps the right to switch back.
// While impersonating, the thread has the account's permissions (a root
// thread loses its effective capabilities until it reverts).
//
// An object of this class is the token of one impersonation; it is owned
// by the caller that began it.
#ifndef LINKCORE_SRC_THREAD_IMPERSONATION_H_
#define LINKCORE_SRC_THREAD_IMPERSONATION_H_

#include <sys/types.h>

#include <vector>

class ThreadImpersonation {
 public:
  // Makes the calling thread act as account `user`. On success stores a new
  // token in *token and returns 0; otherwise returns the errno code of the
  // failing step (ENOENT for an unknown account, EPERM without the
  // privilege to switch) and leaves the thread unchanged. Runs on the
  // thread to impersonate.
  static int Begin(const char* user, ThreadImpersonation** token);

  // Gives the calling thread back the identity it had before Begin. Must
  // run on the thread that began it (EINVAL otherwise, nothing changed, so
  // the caller can still revert on the right thread). Returns 0 or the
  // errno code of the failing step.
  int End();

 private:
  ThreadImpersonation() = default;

  pid_t thread_ = 0;  // kernel id of the impersonating thread
  uid_t savedUser_ = 0;
  gid_t savedGroup_ = 0;
  std::vector<gid_t> savedGroups_;
  int savedDumpable_ = 1;
};

#endif  // LINKCORE_SRC_THREAD_IMPERSONATION_H_
