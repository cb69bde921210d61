// Server: the running program. It owns the drive map, the volumes table
// (one VolumeWatch per drive that holds a task, each owning its tasks and
// journal monitor), the table of client links, the worker threads and
// queue of lists and downloads, and the flush threads; main builds one,
// the configuration fills it, and Run serves until a console event stops
// it.
//
// Threads: configuration and Start/Stop run on the main thread; the
// volumes table never changes once the threads run, so FindTask needs no
// lock; RequestStop runs on the signal thread.
#ifndef DIRSYNC_APP_SERVER_H_
#define DIRSYNC_APP_SERVER_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/client_link_table.h"
#include "app/config.h"
#include "app/linkcore_net.h"
#include "app/linkcore_workers.h"
#include "catalog/sync_task.h"
#include "journal/volume_journal.h"
#include "platform/drive_map.h"
#include "platform/env.h"
#include "protocol/growth_waiters.h"
#include "protocol/protocol_context.h"
#include "protocol/request_queue.h"
#include "tracking/entry_file_opener.h"
#include "tracking/volume_watch.h"

namespace dirsync {

// Lists and downloads run on this many worker threads at most.
constexpr int kWorkerThreads = 4;

class Server : public TaskDirectory {
 public:
  struct Options {
    // Where dirsync.ini, data/ and user/ lie; ends with '/'.
    std::string programDirectory;
    // The system the stores and the journal are read and written through.
    Env* env = Env::Default();
    // How the volumes' journals are opened.
    VolumeJournal::Options journal;
    // The network the client links talk through (null: linkcore).
    LinkNet* net = nullptr;
    // Whether a download checks that the file at an entry's path is the
    // entry itself (off only for catalogs made up by hand).
    bool checkDownloadIdentity = true;
    // The threads that run lists and downloads (null: a linkcore worker
    // pool of kWorkerThreads), and how many requests run at once.
    WorkerPool* workers = nullptr;
    int workerThreads = kWorkerThreads;
  };

  explicit Server(Options options);
  // Stops whatever still runs.
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // ---- configuration: main thread, before StartWatching ----
  DriveMap& drives() { return drives_; }
  const DriveMap& drives() const { return drives_; }
  // Where and how the tasks' stores are kept.
  StoreOptions storeOptions() const;
  // The dead bytes a store may hold before it is compacted (above its live
  // ones); for tasks built afterwards.
  void set_compactMinDeadBytes(int64_t bytes) { compactMinDeadBytes_ = bytes; }
  // The volume of a drive letter (upper case), or null.
  VolumeWatch* volume(char letter) const;
  // The volume of letter, created with timeout when it does not exist yet;
  // *created tells which.
  VolumeWatch& VolumeFor(char letter, int32_t timeout, bool* created);
  // The drive letter of a volume other than exceptLetter that has a task
  // named name, or 0.
  char DriveOfTaskName(std::string_view name, char exceptLetter) const;
  // The number of volumes.
  int VolumeCount() const;

  // ---- running ----
  // Starts one journal monitor thread per volume, in drive letter order,
  // and one flush thread per volume; the journals are opened with
  // options.journal, or with journal.
  void StartWatching() { StartWatching(options_.journal); }
  void StartWatching(const VolumeJournal::Options& journal);
  // Whether every monitor has finished its start-up scan and follows its
  // journal. Thread safe.
  bool Following() const;
  // Ends the flush threads (each finishes the batch it is applying), then
  // stops the monitors and applies what they left pending. Main thread,
  // after RequestStop.
  void StopWatching();
  // Asks the server to stop: clears running and wakes the flush threads.
  // Thread safe; the network library is shut down by the caller.
  void RequestStop();
  bool running() const { return running_.load(); }

  // The whole life of the program after configuration: watching, the
  // network library on port of address (empty: all addresses) with at
  // most maxConnections client connections (fewer when the descriptor
  // limit leaves room for fewer), the same protocol over TLS on tls.port
  // when one is set, and the orderly stop. Returns true once a console
  // event has stopped the server, false (after a log line and an orderly
  // stop) when a port cannot be listened on or the TLS settings cannot be
  // used. Main thread.
  bool Run(int32_t port, int32_t maxConnections = kDefaultMaxConnections,
           const std::string& address = std::string(),
           const TlsSettings& tls = TlsSettings());

  // TaskDirectory. Thread safe: the volumes and their tasks never change
  // once the threads run.
  SyncTask* FindTask(std::string_view name) override;

  ClientLinkTable& clientLinks() { return clientLinks_; }
  const ProtocolContext& protocolContext() const { return context_; }
  RequestQueue& requests() { return requests_; }
  GrowthWaiters& waiters() { return waiters_; }
  // The names of all tasks, in drive letter order. Main thread, or once
  // the threads run.
  std::vector<std::string> TaskNames() const;

 private:
  Options options_;
  int64_t compactMinDeadBytes_ = StoreOptions().compactMinDeadBytes;
  DriveMap drives_;
  // The volumes table: one slot per drive letter character code ('C' = 67).
  std::array<std::unique_ptr<VolumeWatch>, 128> volumes_;
  EntryFileOpener entryFiles_;
  LinkcoreNet linkcoreNet_;
  // The linkcore workers, unless options.workers names others.
  std::unique_ptr<LinkcoreWorkers> ownWorkers_;
  RequestQueue requests_;
  // Clients waiting for their store to grow; stopped before the workers.
  GrowthWaiters waiters_;
  ProtocolContext context_;
  ClientLinkTable clientLinks_;
  std::atomic<bool> running_{true};
  std::vector<std::thread> flushThreads_;
  bool watching_ = false;
};

}  // namespace dirsync

#endif  // DIRSYNC_APP_SERVER_H_
