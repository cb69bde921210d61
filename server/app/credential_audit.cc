#include "app/credential_audit.h"

#include <string>

#include "app/server.h"
#include "platform/log.h"
#include "protocol/credentials.h"
#include "protocol/log_text.h"

namespace dirsync {

void LogAmbiguousCredentials(const Server& server) {
  const std::string userDirectory = server.protocolContext().userDirectory;
  for (const AmbiguousCredential& file :
       FindAmbiguousCredentials(userDirectory, server.TaskNames())) {
    std::string tasks;
    for (const std::string& task : file.tasks) {
      if (!tasks.empty()) tasks += ", ";
      tasks += EscapeForLog(task);
    }
    LogPrint("%D Credential user/%s is refused: it could belong to tasks %s. "
             "Move it to user/<task>/<uid>.\n",
             EscapeForLog(file.fileName).c_str(), tasks.c_str());
  }
}

}  // namespace dirsync
