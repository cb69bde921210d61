#include "protocol/credentials.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

namespace dirsync {

std::string OtherTaskOfOldName(TaskDirectory& tasks, std::string_view task,
                               std::string_view uid) {
  const std::string name = std::string(task) + "-" + std::string(uid);
  // A task that claims the name is some prefix of it that ends just before
  // a hyphen, with something after that hyphen.
  for (size_t hyphen = name.find('-'); hyphen != std::string::npos;
       hyphen = name.find('-', hyphen + 1)) {
    if (hyphen == task.size() || hyphen + 1 >= name.size()) continue;
    const std::string_view prefix(name.data(), hyphen);
    if (tasks.FindTask(prefix) != nullptr) return std::string(prefix);
  }
  return {};
}

CredentialLocation LocateCredential(const std::string& userDirectory,
                                    TaskDirectory& tasks,
                                    std::string_view task,
                                    std::string_view uid) {
  CredentialLocation where;
  where.path = userDirectory;
  where.path.append(task).append("/").append(uid);
  struct stat st;
  if (::stat(where.path.c_str(), &st) == 0 ||
      (errno != ENOENT && errno != ENOTDIR)) {
    return where;  // the reader refuses what is no regular file
  }
  where.otherTask = OtherTaskOfOldName(tasks, task, uid);
  if (!where.otherTask.empty()) {
    where.kind = CredentialLocation::Kind::kAmbiguous;
    where.path.clear();
    return where;
  }
  where.kind = CredentialLocation::Kind::kOldLayout;
  where.path = userDirectory;
  where.path.append(task).append("-").append(uid);
  return where;
}

std::vector<AmbiguousCredential> FindAmbiguousCredentials(
    const std::string& userDirectory,
    const std::vector<std::string>& taskNames) {
  std::vector<AmbiguousCredential> found;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(userDirectory.c_str()),
                                          &::closedir);
  if (dir == nullptr) return found;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    struct stat st;
    if (::stat((userDirectory + name).c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode)) {
      continue;
    }
    AmbiguousCredential claim{name, {}};
    for (const std::string& task : taskNames) {
      if (name.size() > task.size() + 1 && name.compare(0, task.size(), task) == 0 &&
          name[task.size()] == '-') {
        claim.tasks.push_back(task);
      }
    }
    if (claim.tasks.size() >= 2) found.push_back(std::move(claim));
  }
  return found;
}

bool TokensMatch(std::string_view given, std::string_view stored) {
  // Every place is looked at, whatever the lengths and wherever the texts
  // differ; bytes past a text's end count as 0, and the lengths decide
  // separately.
  unsigned difference = given.size() != stored.size() ? 1u : 0u;
  for (size_t i = 0; i < kCredentialCompareBytes; ++i) {
    const unsigned a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0u;
    const unsigned b = i < stored.size() ? static_cast<unsigned char>(stored[i]) : 0u;
    difference |= a ^ b;
  }
  // A text longer than the compared places only matches when both are
  // identical beyond them too; that never happens for a stored token,
  // which is at most 1023 bytes.
  if (stored.size() > kCredentialCompareBytes) {
    return difference == 0 && given == stored;
  }
  return difference == 0;
}

}  // namespace dirsync
