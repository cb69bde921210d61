#include "tracking/monitor_test_util.h"

#include <sys/stat.h>

#include <chrono>
#include <mutex>
#include <shared_mutex>

#include "catalog/catalog_record.h"
#include "catalog/catalog_store.h"
#include "catalog/sync_task.h"
#include "tracking/volume_monitor.h"

namespace dirsync::testing {

uint64_t StoredRecord::fileRef() const { return record::FileRef(bytes.data()); }
uint8_t StoredRecord::state() const { return record::State(bytes.data()); }
uint32_t StoredRecord::version() const { return record::Version(bytes.data()); }
int64_t StoredRecord::usn() const { return record::Usn(bytes.data()); }
int64_t StoredRecord::sequence() const { return record::Sequence(bytes.data()); }
uint64_t StoredRecord::fileSize() const { return record::FileSize(bytes.data()); }
uint64_t StoredRecord::lastWriteTime() const {
  return record::LastWriteTime(bytes.data());
}
std::string StoredRecord::name() const {
  return std::string(record::NameView(bytes.data()));
}
std::string StoredRecord::oldName() const {
  return std::string(record::OldNameView(bytes.data()));
}

MonitoredVolumes::MonitoredVolumes() {
  programDirectory_ = tree_ / "program/";
  ::mkdir(programDirectory_.c_str(), 0755);
  NewServer();
}

MonitoredVolumes::~MonitoredVolumes() { Reset(); }

void MonitoredVolumes::NewServer() {
  server_.reset();
  Server::Options options;
  options.programDirectory = programDirectory_;
  if (storeEnv_ != nullptr) options.env = storeEnv_;
  server_ = std::make_unique<Server>(options);
}

void MonitoredVolumes::UseStoreEnv(Env* env) {
  storeEnv_ = env;
  if (!started_ && server_->VolumeCount() == 0) NewServer();
}

void MonitoredVolumes::AddVolume(char letter, const std::string& directory,
                                 int32_t timeoutMs) {
  server_->drives().Set(letter, directory);
  bool created = false;
  server_->VolumeFor(letter, timeoutMs, &created);
}

VolumeWatch* MonitoredVolumes::volume(char letter) const {
  return server_->volume(letter);
}

SyncTask* MonitoredVolumes::AddTask(const std::string& name,
                                    const std::string& root,
                                    const std::string& excludes) {
  std::string path = root;
  if (path.back() != '\\') path += '\\';
  for (char& c : path) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::unique_ptr<SyncTask>& slot = server_->volume(path[0])->tasks[name];
  slot = OpenTask(name, path, excludes, server_->storeOptions());
  return slot.get();
}

bool MonitoredVolumes::WaitUntil(const std::function<bool()>& condition,
                                 int timeoutMs) {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

bool MonitoredVolumes::Start(const VolumeJournal::Options& options) {
  server_->StartWatching(options);
  started_ = true;
  return WaitUntil([this] { return server_->Following(); }, 30000);
}

void MonitoredVolumes::Stop() {
  if (!started_) return;
  server_->RequestStop();
  server_->StopWatching();
  started_ = false;
}

void MonitoredVolumes::Reset() {
  Stop();
  NewServer();
}

bool MonitoredVolumes::Settle(SyncTask* task, const std::string& markerDirectory) {
  std::string marker =
      markerDirectory + "/.marker-" + std::to_string(++markers_);
  if (RunWriter({"write " + marker + " 1"}) != 0) return false;
  uint64_t ref = ReferenceOfPath(marker);
  VolumeWatch* v = server_->volume(task->rootPath[0]);
  return WaitUntil([&] {
    MutexLock guard(&v->lock);
    if (!v->pending.empty()) return false;
    ReaderLock lock(&task->catalogLock);
    return FindEntry(*task, ref) != nullptr;
  });
}

namespace {

class Collector : public StoreVisitor {
 public:
  std::vector<StoredRecord> records;
  void OnRecord(int64_t offset, const uint8_t* bytes) override {
    // Seals vouch for the records; the tests look at the records.
    if (record::IsSeal(bytes)) return;
    StoredRecord r;
    r.offset = offset;
    r.bytes.assign(bytes, bytes + record::Length(bytes));
    records.push_back(std::move(r));
  }
  void OnDamage(int64_t, int64_t, const char*) override {}
  void OnReadError(int64_t, const Status&) override {}
};

}  // namespace

std::vector<StoredRecord> ReadStore(SyncTask* task) {
  Collector collector;
  WalkStore(task->store.fd.get(), collector);
  return std::move(collector.records);
}

std::map<uint64_t, StoredRecord> LastRecords(SyncTask* task) {
  std::map<uint64_t, StoredRecord> last;
  for (StoredRecord& r : ReadStore(task)) {
    if (r.state() == StateFiller || r.state() == StateHeader) continue;
    last[r.fileRef()] = std::move(r);
  }
  return last;
}

std::vector<StoredRecord> RecordsOf(SyncTask* task, uint64_t ref) {
  std::vector<StoredRecord> of;
  for (StoredRecord& r : ReadStore(task)) {
    if (r.state() != StateFiller && r.state() != StateHeader &&
        r.fileRef() == ref) {
      of.push_back(std::move(r));
    }
  }
  return of;
}

std::vector<uint8_t> EntryOf(SyncTask* task, uint64_t ref) {
  ReaderLock lock(&task->catalogLock);
  const CatalogRecord* entry = FindEntry(*task, ref);
  if (entry == nullptr) return {};
  return std::vector<uint8_t>(entry->data(), entry->data() + entry->length());
}

}  // namespace dirsync::testing
