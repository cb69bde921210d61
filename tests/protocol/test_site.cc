#include "protocol/test_site.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

#include "catalog/catalog_record.h"

namespace dirsync {

namespace fs = std::filesystem;

TestSite::TestSite() {
  char pattern[] = "/tmp/dirsync-protocol-XXXXXX";
  dir_ = ::mkdtemp(pattern);
  fs::create_directories(dir_ + "/user");
  fs::create_directories(dir_ + "/data");
  fs::create_directories(rootDir());
  // The catalog here is made up by hand: its references name no real file.
  Build(false);
}

void TestSite::Build(bool checkDownloadIdentity) {
  InstallClientLinkTable(nullptr);
  server_.reset();
  Server::Options options;
  options.programDirectory = dir_ + "/";
  options.checkDownloadIdentity = checkDownloadIdentity;
  server_ = std::make_unique<Server>(options);
  server_->drives().Set('D', dir_ + "/vol");
  bool created = false;
  VolumeWatch& volume = server_->VolumeFor('D', 10000, &created);
  auto task = std::make_unique<SyncTask>();
  task->name = kTaskName;
  task->rootPath = "D:\\DOCS\\";
  task->store.path = dir_ + "/data/docs.db";
  task->store.fd.reset(::open(task->store.path.c_str(),
                              O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  task->storeId = 0x5e5e1234;
  task->storeOpen = true;
  task_ = task.get();
  volume.tasks[kTaskName] = std::move(task);
  InstallClientLinkTable(&server_->clientLinks());
}

TestSite::~TestSite() {
  InstallClientLinkTable(nullptr);
  server_.reset();
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void TestSite::WriteCredential(std::string_view task, std::string_view uid,
                               std::string_view content) {
  std::ofstream out(dir_ + "/user/" + std::string(task) + "-" + std::string(uid),
                    std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void TestSite::WriteUserFile(std::string_view relative, std::string_view content) {
  fs::path path = fs::path(dir_) / "user" / std::string(relative);
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void TestSite::AddTask(std::string_view name) {
  auto task = std::make_unique<SyncTask>();
  task->name = std::string(name);
  task->rootPath = "D:\\DOCS\\";
  task->store.path = dir_ + "/data/" + std::string(name) + ".db";
  task->store.fd.reset(::open(task->store.path.c_str(),
                              O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  task->storeId = 0x7a5c0001;
  task->storeOpen = true;
  server_->volume('D')->tasks[std::string(name)] = std::move(task);
}

std::string TestSite::MakeRecord(uint64_t fileRef, uint32_t version,
                                 uint8_t state, std::string_view name,
                                 int32_t length) {
  int32_t needed = kRecordHeaderSize + static_cast<int32_t>(name.size());
  if (length < needed) length = needed;
  std::string bytes(static_cast<size_t>(length), '\0');
  uint8_t* r = reinterpret_cast<uint8_t*>(bytes.data());
  record::SetLength(r, length);
  record::SetFileRef(r, fileRef);
  record::SetVersion(r, version);
  record::SetState(r, state);
  std::copy(name.begin(), name.end(), record::MutableName(r));
  return bytes;
}

void TestSite::AppendStore(std::string_view bytes) {
  int64_t at = task_->store.storeSize.load();
  ssize_t w = ::pwrite(task_->store.fd.get(), bytes.data(), bytes.size(), at);
  if (w != static_cast<ssize_t>(bytes.size())) std::abort();
  task_->store.storeSize = at + static_cast<int64_t>(bytes.size());
  server_->waiters().StoreGrew();
}

void TestSite::FillBlock() {
  constexpr int64_t kBlock = 4 * 1024 * 1024;
  int64_t size = task_->store.storeSize.load();
  int64_t rest = kBlock - size % kBlock;
  if (rest == kBlock) return;
  AppendStore(MakeRecord(0, 0, StateFiller, "", static_cast<int32_t>(rest)));
}

std::string TestSite::StoreBytes() const {
  std::ifstream in(task_->store.path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void TestSite::SetEntry(uint64_t fileRef, uint32_t version,
                        std::string_view name, uint8_t state) {
  std::string bytes = MakeRecord(fileRef, version, state, name);
  CatalogRecord entry = CatalogRecord::Allocate(static_cast<int32_t>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), entry.data());
  WriterLock lock(&task_->catalogLock);
  task_->entries[fileRef] = std::move(entry);
}

void TestSite::SetEntryRecord(std::string_view bytes) {
  CatalogRecord entry = CatalogRecord::Allocate(static_cast<int32_t>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), entry.data());
  uint64_t fileRef = entry.fileRef();
  WriterLock lock(&task_->catalogLock);
  task_->entries[fileRef] = std::move(entry);
}

void TestSite::WriteFile(std::string_view relative, std::string_view content) {
  fs::path path = fs::path(rootDir()) / std::string(relative);
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

}  // namespace dirsync
