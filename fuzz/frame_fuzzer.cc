// Fuzzes what a client controls: the byte stream of a connection, cut into
// chunks of any size, through frame reassembly, parameter parsing and the
// request handlers, both before and after login. Each input is one
// connection; the server must never read or write out of bounds, crash,
// or keep buffering past the frame limit.
//
// Input: byte 0 bit 0 = log the link in first; then repeated (2-byte chunk
// length, chunk bytes). A chunk length is taken modulo 8188 + 1, the
// library's largest delivery.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "app/client_link_table.h"
#include "app/server.h"
#include "catalog/catalog_record.h"
#include "catalog/sync_task.h"
#include "linkcore.h"
#include "protocol/link_net.h"
#include "protocol/message_params.h"
#include "tracking/volume_watch.h"

// Never reached: the server talks through the fuzz network below and is
// never run on the network library.
extern "C" {
int KRL_NetSend(uint64_t, const void*, int) { std::abort(); }
int KRL_NetDisConnect(uint64_t) { std::abort(); }
int KRL_NetGetAddr(uint64_t, int, char*, int) { std::abort(); }
int KRL_NetHoldInput(uint64_t, int) { std::abort(); }
int64_t KRL_NetQueuedOutput(uint64_t) { std::abort(); }
int KRL_NetNotifyDrained(uint64_t, int64_t, NetDrainCallback) { std::abort(); }
int KRL_NetListenAt(const char*, int, NetDataCallback, NetEventCallback, NetSentCallback) { std::abort(); }
KRL_Pool* KRL_TaskCreate(int, int, TaskCallback) { std::abort(); }
int KRL_TaskPutmsg(KRL_Pool*, const void*, int, uint64_t) { std::abort(); }
void KRL_TaskDestroy(KRL_Pool*) { std::abort(); }
int KRL_NetInit(int) { std::abort(); }
int KRL_NetListen(int, NetDataCallback, NetEventCallback, NetSentCallback) { std::abort(); }
void KRL_NetFini() { std::abort(); }
int KRL_NetWaitFini() { std::abort(); }
int KRL_NetSetLimits(int, int) { std::abort(); }
int KRL_NetListenTls(const char*, int, const char*, const char*, const char*, NetDataCallback,
                     NetEventCallback, NetSentCallback) { std::abort(); }
}

namespace dirsync {
namespace {

constexpr uint64_t kId = 1;

// Sends go nowhere; a disconnect delivers the close event at once, as the
// network library does. Input holds are recorded: no chunk may be fed
// while one is in force. The queued output grows with what is sent and is
// drained by the harness between chunks (with the drain event, when the
// link waits for it).
class FuzzNet final : public LinkNet {
 public:
  int Send(uint64_t, const void*, int length) override {
    if (length < 6) std::abort();  // every reply has at least its header
    if (!open) return 0;
    queued += length;
    return 1;
  }
  int HoldInput(uint64_t, bool hold) override {
    if (!open) return 0;
    held = hold;
    return 1;
  }
  int64_t QueuedOutput(uint64_t) override { return open ? queued : -1; }
  int NotifyDrained(uint64_t, int64_t lowMark) override {
    if (!open) return 0;
    if (queued <= lowMark) return 2;
    drainArmed = true;
    return 1;
  }
  int DisConnect(uint64_t id) override {
    if (!open) return 0;
    open = false;
    OnConnectionEvent(id, 0);
    return 1;
  }
  int GetAddr(uint64_t, int, char* buf, int size) override {
    if (size > 0) buf[0] = '\0';
    return 1;
  }
  bool open = false;
  bool held = false;
  bool drainArmed = false;
  int64_t queued = 0;
};

// Runs each wake at once, on the thread that asks: the request queue lets
// only one run at a time, so a request submitted meanwhile waits for the
// running one's loop instead of nesting.
class InlineWorkers final : public WorkerPool {
 public:
  bool Wake(RequestQueue& queue) override {
    queue.RunQueued();
    return true;
  }
};

FuzzNet* net;
Server* server;
SyncTask* task;

std::string Record(uint64_t fileRef, uint32_t version, uint8_t state, const std::string& name) {
  std::string r(static_cast<size_t>(kRecordHeaderSize) + name.size(), '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(r.data());
  record::SetLength(p, static_cast<int32_t>(r.size()));
  record::SetFileRef(p, fileRef);
  record::SetVersion(p, version);
  record::SetState(p, state);
  std::memcpy(record::MutableName(p), name.data(), name.size());
  return r;
}

// A site with one task "docs": a small store, three catalog entries whose
// files exist, and a credential for user "u" with token "t".
void MakeSite() {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/dirsync-fuzz-XXXXXX";
  std::string dir = ::mkdtemp(pattern);
  fs::create_directories(dir + "/user");
  fs::create_directories(dir + "/vol/docs");
  std::ofstream(dir + "/user/docs-u") << "t";

  Server::Options options;
  options.programDirectory = dir + "/";
  options.net = net;
  options.workers = new InlineWorkers;
  options.workerThreads = 1;
  // The catalog is made up by hand: its references name no real file.
  options.checkDownloadIdentity = false;
  server = new Server(options);
  server->drives().Set('D', dir + "/vol");
  bool created = false;
  VolumeWatch& volume = server->VolumeFor('D', 10000, &created);
  auto owned = std::make_unique<SyncTask>();
  task = owned.get();
  task->name = "docs";
  task->rootPath = "D:\\DOCS\\";
  task->store.fd.reset(::open((dir + "/docs.db").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
  WriterLock lock(&task->catalogLock);
  std::string store = Record(0, 1, StateHeader, "");
  for (uint64_t ref = 1; ref <= 3; ++ref) {
    std::string name = "f" + std::to_string(ref);
    std::ofstream(dir + "/vol/docs/" + name) << std::string(100 * ref, 'x');
    std::string r = Record(ref, 1, StateAdded, name);
    store += r;
    CatalogRecord entry = CatalogRecord::Allocate(static_cast<int32_t>(r.size()));
    std::memcpy(entry.data(), r.data(), r.size());
    entry.set_version(ref == 2 ? 2 : 1);
    task->entries[ref] = std::move(entry);
  }
  if (::pwrite(task->store.fd.get(), store.data(), store.size(), 0) != static_cast<ssize_t>(store.size())) std::abort();
  task->store.storeSize = static_cast<int64_t>(store.size());
  task->storeOpen = true;
  volume.tasks["docs"] = std::move(owned);
  InstallClientLinkTable(&server->clientLinks());
}

}  // namespace
}  // namespace dirsync

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace dirsync;
  // The handlers log every request; the fuzzer's own output stays on stderr.
  int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, STDOUT_FILENO);
  net = new FuzzNet;
  MakeSite();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dirsync;
  if (size == 0) return 0;

  // The parameter parser on the raw bytes, as the body of one frame.
  MessageParams params;
  for (auto& slot : params.slots) slot = nullptr;
  if (ParseParams(params, data, data + size)) {
    for (const ParamEntry* e : params.slots) {
      if (e != nullptr && (e->value < data || e->value + e->length > data + size)) std::abort();
    }
  }

  const bool logIn = (data[0] & 1) != 0;
  auto open = [&] {
    net->open = true;
    net->held = false;
    net->drainArmed = false;
    net->queued = 0;
    OnConnectionEvent(kId, 1);
    if (logIn) server->clientLinks().Find(kId)->task = task;
  };
  open();
  size_t at = 1;
  while (at + 2 <= size) {
    size_t chunk = (size_t{data[at]} | size_t{data[at + 1]} << 8) % 8188 + 1;
    at += 2;
    if (chunk > size - at) chunk = size - at;
    if (chunk == 0) break;
    if (!net->open) open();
    if (net->held) {
      // The link waits for its output: the client reads it all.
      if (!net->drainArmed) std::abort();  // held for nothing
      net->queued = 0;
      net->drainArmed = false;
      OnDrained(kId);
      if (net->open && net->held) std::abort();  // still held once drained
      if (!net->open) open();
    }
    OnReceive(kId, reinterpret_cast<const char*>(data + at), static_cast<int>(chunk));
    if (auto link = server->clientLinks().Find(kId); link && link->inBuffer.size() > 16 * 1024 * 1024 + 8188) {
      std::abort();  // buffered past the frame limit
    }
    at += chunk;
  }
  if (net->open) net->DisConnect(kId);
  if (server->clientLinks().Count() != 0) std::abort();
  return 0;
}
