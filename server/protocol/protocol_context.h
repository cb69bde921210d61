// What the request handlers need from the rest of the server. The server
// builds one context at start-up and every client link refers to it; tests
// build their own around a made-up site.
#ifndef DIRSYNC_PROTOCOL_PROTOCOL_CONTEXT_H_
#define DIRSYNC_PROTOCOL_PROTOCOL_CONTEXT_H_

#include <string>
#include <string_view>

#include "catalog/entry_files.h"
#include "catalog/sync_task.h"
#include "protocol/link_net.h"

namespace dirsync {

// Finds a task by the name a client logs in with.
class TaskDirectory {
 public:
  virtual ~TaskDirectory() = default;
  // The task of that exact name (case-sensitive), or null. Thread safe.
  virtual SyncTask* FindTask(std::string_view name) = 0;
};

class GrowthWaiters;
class RequestQueue;

struct ProtocolContext {
  TaskDirectory* tasks = nullptr;
  LinkNet* net = nullptr;
  EntryFiles* files = nullptr;
  // Where heavy requests ("list", "dload") run; null runs them on the
  // thread that reads them.
  RequestQueue* requests = nullptr;
  // Where "wait" requests wait for their store to grow; null answers them
  // at once.
  GrowthWaiters* waiters = nullptr;
  // Where the credential files lie ("<program dir>user/"), ending with '/'.
  std::string userDirectory;
};

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_PROTOCOL_CONTEXT_H_
