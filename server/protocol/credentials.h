// Credential files: where the token of a user of a task lies, and how a
// token is compared with it.
//
// The layout is user/<task>/<uid>: one directory per task, one file per
// user, so that a file names exactly one (task, uid) pair. The older
// layout user/<task>-<uid> is still read when the new file is missing, but
// only when its name cannot belong to another configured task: with tasks
// "x" and "x-y", the file "x-y-carol" could be carol's of "x-y" or
// y-carol's of "x", and is refused for both (the start-up log names it).
//
// Task names and user ids are placed into paths only after the login
// handler has checked them (IsSafeNameValue).
#ifndef DIRSYNC_PROTOCOL_CREDENTIALS_H_
#define DIRSYNC_PROTOCOL_CREDENTIALS_H_

#include <string>
#include <string_view>
#include <vector>

#include "protocol/protocol_context.h"

namespace dirsync {

struct CredentialLocation {
  enum class Kind {
    kTaskDirectory,  // user/<task>/<uid>
    kOldLayout,      // user/<task>-<uid>, unambiguous
    kAmbiguous,      // user/<task>-<uid> could be another task's
  };
  Kind kind = Kind::kTaskDirectory;
  // The file to read (empty when ambiguous).
  std::string path;
  // For kAmbiguous: the other configured task the old name could belong to.
  std::string otherTask;
};

// Where the credential of uid for task lies. userDirectory ends with '/'.
// The new layout wins whenever anything stands at its path. Thread safe.
CredentialLocation LocateCredential(const std::string& userDirectory,
                                    TaskDirectory& tasks,
                                    std::string_view task,
                                    std::string_view uid);

// A configured task other than task that the old-layout file name
// task + "-" + uid could belong to (the name is that task's name, a
// hyphen and a non-empty rest), or empty. Thread safe.
std::string OtherTaskOfOldName(TaskDirectory& tasks, std::string_view task,
                               std::string_view uid);

// An old-layout file of userDirectory that two or more configured tasks
// could claim.
struct AmbiguousCredential {
  std::string fileName;
  std::vector<std::string> tasks;  // in the order of taskNames
};
// Lists them for the given task names (regular files directly in
// userDirectory; directories are the new layout's). An unreadable
// directory lists nothing.
std::vector<AmbiguousCredential> FindAmbiguousCredentials(
    const std::string& userDirectory, const std::vector<std::string>& taskNames);

// Whether the token a client sent equals the stored one, in a time that
// depends on neither's content nor on where they differ: every one of the
// kCredentialCompareBytes places is compared. Pure.
constexpr size_t kCredentialCompareBytes = 1024;
bool TokensMatch(std::string_view given, std::string_view stored);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_CREDENTIALS_H_
