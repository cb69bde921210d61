#include "thread_impersonation.h"

#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace {

// Each returns 0 or the errno code; each changes the calling thread only.
int SetThreadGroups(const std::vector<gid_t>& groups) {
  return syscall(SYS_setgroups, groups.size(), groups.data()) == 0 ? 0 : errno;
}
int SetThreadEffectiveGroup(gid_t group) {
  return syscall(SYS_setresgid, -1, group, -1) == 0 ? 0 : errno;
}
int SetThreadEffectiveUser(uid_t user) {
  return syscall(SYS_setresuid, -1, user, -1) == 0 ? 0 : errno;
}

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

int CurrentGroups(std::vector<gid_t>* groups) {
  const int count = getgroups(0, nullptr);
  if (count < 0) return errno;
  groups->resize(static_cast<size_t>(count));
  const int got = getgroups(count, groups->data());
  if (got < 0) return errno;
  groups->resize(static_cast<size_t>(got));
  return 0;
}

struct Account {
  uid_t user;
  gid_t group;
  std::vector<gid_t> groups;
};

int LookUpAccount(const char* name, Account* account) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry;
  passwd* found = nullptr;
  int rc;
  while ((rc = getpwnam_r(name, &entry, buffer.data(), buffer.size(),
                          &found)) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0) return rc;
  if (found == nullptr) return ENOENT;
  account->user = entry.pw_uid;
  account->group = entry.pw_gid;
  int count = 32;
  for (;;) {
    account->groups.resize(static_cast<size_t>(count));
    const int previous = count;
    if (getgrouplist(name, entry.pw_gid, account->groups.data(), &count) >=
        0) {
      account->groups.resize(static_cast<size_t>(count));
      return 0;
    }
    if (count <= previous) count = previous * 2;
  }
}

}  // namespace

int ThreadImpersonation::Begin(const char* user, ThreadImpersonation** token) {
  Account account;
  if (int rc = LookUpAccount(user, &account); rc != 0) return rc;

  auto* self = new (std::nothrow) ThreadImpersonation;
  if (self == nullptr) return ENOMEM;
  self->thread_ = ThreadId();
  self->savedUser_ = geteuid();  // these calls report the calling thread's
  self->savedGroup_ = getegid();
  self->savedDumpable_ = prctl(PR_GET_DUMPABLE);
  int rc = CurrentGroups(&self->savedGroups_);

  // Groups first: changing them needs the privilege the user switch drops.
  if (rc == 0) rc = SetThreadGroups(account.groups);
  if (rc == 0) {
    rc = SetThreadEffectiveGroup(account.group);
    if (rc != 0) SetThreadGroups(self->savedGroups_);
  }
  if (rc == 0) {
    rc = SetThreadEffectiveUser(account.user);
    if (rc != 0) {
      SetThreadEffectiveGroup(self->savedGroup_);
      SetThreadGroups(self->savedGroups_);
    }
  }
  if (rc != 0) {
    delete self;
    return rc;
  }
  *token = self;
  return 0;
}

int ThreadImpersonation::End() {
  if (ThreadId() != thread_) return EINVAL;
  // The user first: it gives back the privilege to restore the groups.
  if (int rc = SetThreadEffectiveUser(savedUser_); rc != 0) return rc;
  if (int rc = SetThreadEffectiveGroup(savedGroup_); rc != 0) return rc;
  if (int rc = SetThreadGroups(savedGroups_); rc != 0) return rc;
  // Any change of effective ids makes the kernel mark the whole process
  // not dumpable (no core dumps, /proc entries owned by root). The change
  // is undone, so give the process its former state back.
  if (savedDumpable_ == 1) prctl(PR_SET_DUMPABLE, 1);
  return 0;
}
