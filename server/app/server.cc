#include "app/server.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

#include "app/flush_thread.h"
#include "linkcore.h"
#include "platform/log.h"

namespace dirsync {
namespace {

// Descriptors kept free of client connections for the server's own work:
// journal lookups and walks, store reads and writes, opening a store
// again, credential reads at login.
constexpr int kReservedDescriptors = 64;

// The number of descriptors the process holds now; -1 when unknown.
int OpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = -1;  // the directory's own descriptor
  while (struct dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

// How many client connections the descriptor limit leaves room for: each
// takes its socket and, while it downloads, the file it reads; the reserve
// and what the process holds now stay free of them.
int ConnectionsWithinDescriptorLimit(int reserve) {
  rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return -1;
  }
  const int open = std::max(OpenDescriptors(), 0);
  const long room = static_cast<long>(limit.rlim_cur) - open - reserve;
  return static_cast<int>(std::clamp(room / 2, 1L, static_cast<long>(INT32_MAX)));
}

}  // namespace

Server::Server(Options options)
    : options_(std::move(options)),
      entryFiles_(drives_, options_.checkDownloadIdentity),
      ownWorkers_(options_.workers != nullptr
                      ? nullptr
                      : std::make_unique<LinkcoreWorkers>(options_.workerThreads)),
      requests_(options_.workers != nullptr ? *options_.workers : *ownWorkers_,
                options_.workerThreads),
      waiters_(requests_),
      clientLinks_(context_) {
  context_.tasks = this;
  context_.net = options_.net != nullptr ? options_.net : &linkcoreNet_;
  context_.files = &entryFiles_;
  context_.requests = &requests_;
  context_.waiters = &waiters_;
  context_.userDirectory = options_.programDirectory + "user/";
  waiters_.Start();
}

Server::~Server() {
  if (watching_) {
    RequestStop();
    StopWatching();
  }
  // Links still queued or running finish (those closed meanwhile at once)
  // before the workers and the tasks they read go; waiting links are let
  // go unanswered.
  waiters_.Stop();
  requests_.WaitIdle();
  ownWorkers_.reset();
}

std::vector<std::string> Server::TaskNames() const {
  std::vector<std::string> names;
  for (const auto& v : volumes_) {
    if (v == nullptr) continue;
    for (const auto& [name, task] : v->tasks) names.push_back(name);
  }
  return names;
}

StoreOptions Server::storeOptions() const {
  StoreOptions store;
  store.env = options_.env;
  store.directory = options_.programDirectory + "data/";
  store.compactMinDeadBytes = compactMinDeadBytes_;
  return store;
}

VolumeWatch* Server::volume(char letter) const {
  return volumes_[static_cast<unsigned char>(letter) & 127].get();
}

VolumeWatch& Server::VolumeFor(char letter, int32_t timeout, bool* created) {
  assert(!watching_);  // the table never changes while threads run
  std::unique_ptr<VolumeWatch>& slot =
      volumes_[static_cast<unsigned char>(letter) & 127];
  *created = slot == nullptr;
  if (slot == nullptr) {
    slot = std::make_unique<VolumeWatch>(letter, timeout);
    slot->storeOptions = storeOptions();
  }
  return *slot;
}

char Server::DriveOfTaskName(std::string_view name, char exceptLetter) const {
  for (const auto& v : volumes_) {
    if (v != nullptr && v->driveLetter != exceptLetter &&
        v->tasks.count(std::string(name)) != 0) {
      return v->driveLetter;
    }
  }
  return 0;
}

int Server::VolumeCount() const {
  int count = 0;
  for (const auto& v : volumes_) count += v != nullptr ? 1 : 0;
  return count;
}

void Server::StartWatching(const VolumeJournal::Options& journal) {
  assert(!watching_);
  watching_ = true;
  // Clients waiting for changes hear of every store write.
  for (const auto& v : volumes_) {
    if (v == nullptr) continue;
    for (auto& [name, task] : v->tasks) {
      task->store.growthListener.store(&waiters_, std::memory_order_release);
    }
  }
  // One journal thread per volume, in slot order.
  for (const auto& v : volumes_) {
    if (v != nullptr) v->StartMonitor(drives_, journal);
  }
  for (const auto& v : volumes_) {
    if (v == nullptr) continue;
    VolumeWatch* volume = v.get();
    flushThreads_.emplace_back([this, volume] {
      FlushThread(*volume, running_, [](VolumeWatch& due) {
        due.lock.AssertHeld();
        return due.ApplyBatch(false);
      });
    });
  }
}

bool Server::Following() const {
  for (const auto& v : volumes_) {
    if (v != nullptr && !v->Following()) return false;
  }
  return true;
}

void Server::RequestStop() {
  running_.store(false);
  for (const auto& v : volumes_) {
    if (v == nullptr) continue;
    // Under the lock, so that a flush thread between its check of running
    // and its wait cannot miss the signal.
    MutexLock guard(&v->lock);
    v->changed.SignalAll();
  }
}

void Server::StopWatching() {
  if (!watching_) return;
  // running is false now: each flush thread ends after the batch it is
  // applying, so that no batch is cut off in the middle.
  for (std::thread& t : flushThreads_) t.join();
  flushThreads_.clear();
  // What the journal threads read and the flush threads did not apply yet
  // reaches the catalogs before the program ends.
  for (const auto& v : volumes_) {
    if (v != nullptr) v->StopMonitor();
  }
  watching_ = false;
}

bool Server::Run(int32_t port, int32_t maxConnections,
                 const std::string& address, const TlsSettings& tls) {
  StartWatching();
  InstallClientLinkTable(&clientLinks_);
  // Clients are served by five network threads.
  KRL_NetInit(5);
  // The library has raised the descriptor limit as far as it goes: what
  // it allows bounds the connections below the configured maximum, so
  // that clients never take the descriptors the journal, the stores and
  // downloads need.
  int reserve = kReservedDescriptors;
  for (const auto& v : volumes_) {
    if (v != nullptr) reserve += static_cast<int>(v->tasks.size());
  }
  const int byDescriptors = ConnectionsWithinDescriptorLimit(reserve);
  int most = maxConnections;
  if (byDescriptors > 0 && byDescriptors < most) {
    LogPrint("%D the descriptor limit leaves room for %d client connections "
             "(MAXCONNECTIONS %d)\n",
             byDescriptors, maxConnections);
    most = byDescriptors;
  }
  KRL_NetSetLimits(most, reserve);
  bool listening = true;
  errno = 0;
  // A stop asked for meanwhile shuts the library down, and a listen then
  // fails for that alone: no fault of the port.
  if (KRL_NetListenAt(address.c_str(), port, OnReceive, OnConnectionEvent,
                      nullptr) != 1 &&
      running_.load()) {
    const int error = errno;
    LogPrint("%D cannot listen on port %d: %s; the server stops\n", port,
             error != 0 ? std::strerror(error) : "the port is not usable");
    listening = false;
    RequestStop();
  }
  // The encrypted port serves the same callbacks: framing, login deadlines
  // and output bounds apply to its connections as to plain ones.
  if (listening && tls.port != 0) {
    errno = 0;
    if (!tls.valid ||
        KRL_NetListenTls(address.c_str(), tls.port, tls.certFile.c_str(),
                         tls.keyFile.c_str(), tls.clientCaFile.c_str(),
                         OnReceive, OnConnectionEvent, nullptr) != 1) {
      if (running_.load()) {
        const int error = errno;
        LogPrint("%D cannot serve TLS on port %d: %s; the server stops\n",
                 tls.port,
                 !tls.valid || error == EINVAL
                     ? "its settings, certificate or key are not usable"
                     : error != 0 ? std::strerror(error)
                                  : "the port is not usable");
        listening = false;
        RequestStop();
      }
    } else {
      LogPrint("%D TLS on port %d%s\n", tls.port,
               tls.clientCaFile.empty() ? ""
                                        : ", clients need a certificate");
    }
  }
  // A console event that came before the library was started found nothing
  // to shut down; the shutdown it asked for happens now.
  if (!running_.load()) KRL_NetFini();
  KRL_NetWaitFini();
  // The library's threads have ended: no callback reaches the table now.
  InstallClientLinkTable(nullptr);
  waiters_.Stop();
  requests_.WaitIdle();
  StopWatching();
  return listening;
}

SyncTask* Server::FindTask(std::string_view name) {
  const std::string key(name);
  for (const auto& v : volumes_) {
    if (v == nullptr) continue;
    auto it = v->tasks.find(key);
    if (it != v->tasks.end()) return it->second.get();
  }
  return nullptr;
}

}  // namespace dirsync
