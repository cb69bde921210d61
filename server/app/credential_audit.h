// The start-up check of the credential directory: every old-layout file
// (user/<task>-<uid>) that two or more configured tasks could claim is
// named in the log once, since logins refuse it for all of them.
#ifndef DIRSYNC_APP_CREDENTIAL_AUDIT_H_
#define DIRSYNC_APP_CREDENTIAL_AUDIT_H_

namespace dirsync {

class Server;

// Logs one line per ambiguous file of the server's user directory. Main
// thread, after the tasks are loaded.
void LogAmbiguousCredentials(const Server& server);

}  // namespace dirsync

#endif  // DIRSYNC_APP_CREDENTIAL_AUDIT_H_
