// A dirsync protocol server for benchmarks: the server's client-link code
// on linkcore, serving one task "bench" from a site it lays out itself, so
// that the figures do not depend on a configuration or a volume scan.
//
// Usage: protocol_bench_server DIR PORT STORE_KIB FILE_MIB[:random]
// Lays out DIR (program directory with user/bench-bench = "token", a store
// of up to STORE_KIB KiB of catalog records with their catalog, and the file
// DIR/vol/bench/big.bin of FILE_MIB MiB, file reference 1, version 1),
// prints "ready" and serves until its standard input closes. The file is
// text-like, or with ":random" bytes that do not compress.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "app/client_link_table.h"
#include "app/server.h"
#include "catalog/catalog_record.h"
#include "catalog/sync_task.h"
#include "linkcore.h"
#include "platform/allocator.h"
#include "platform/log.h"
#include "platform/log_batch.h"
#include "tracking/volume_watch.h"

namespace {

using namespace dirsync;

constexpr int64_t kBlock = 4 * 1024 * 1024;

// Text-like bytes: words from a small vocabulary, so that compression has
// something to do without being trivial.
std::string TextLike(size_t n, uint32_t seed) {
  static const char* kWords[] = {"alpha ", "beta ", "gamma ", "delta ", "report ", "2026 ",
                                 "invoice ", "draft\n", "final ", "data ", "sync ", "file "};
  std::string s;
  s.reserve(n + 16);
  while (s.size() < n) {
    seed = seed * 1103515245 + 12345;
    s += kWords[(seed >> 16) % 12];
    if ((seed >> 8) % 7 == 0) s += std::to_string(seed % 100000);
  }
  s.resize(n);
  return s;
}

// Bytes from a pseudo-random generator: no compressor can shrink them.
std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937_64 generator(seed);
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i += 8) {
    const uint64_t word = generator();
    std::memcpy(&s[i], &word, std::min<size_t>(8, n - i));
  }
  return s;
}

std::string Record(uint64_t fileRef, uint32_t version, uint8_t state, const std::string& name, int32_t length) {
  std::string r(static_cast<size_t>(length), '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(r.data());
  record::SetLength(p, length);
  record::SetFileRef(p, fileRef);
  record::SetParentRef(p, 5);
  record::SetVersion(p, version);
  record::SetFileSize(p, fileRef * 977);
  record::SetLastWriteTime(p, 133000000000000000ULL + fileRef);
  record::SetState(p, state);
  std::memcpy(record::MutableName(p), name.data(), name.size());
  return r;
}

// Appends records to store and catalog as long as the store stays within
// bytes, laid out in blocks as the store writer lays them out.
void BuildStore(SyncTask& task, int64_t bytes) {
  WriterLock lock(&task.catalogLock);
  std::string out = Record(0, task.storeId, StateHeader, "", kRecordHeaderSize);
  uint64_t ref = 100;
  while (true) {
    const int64_t size = static_cast<int64_t>(out.size());
    const int64_t rest = kBlock - size % kBlock;
    std::string name = "Projects\\2026\\report-" + std::to_string(ref) + ".docx";
    int32_t length = kRecordHeaderSize + static_cast<int32_t>(name.size());
    if (rest < length + kRecordHeaderSize + 1) {
      if (size + rest > bytes) break;
      out += Record(0, 0, StateFiller, "", static_cast<int32_t>(rest));
      continue;
    }
    if (size + length > bytes) break;
    std::string r = Record(ref, 1, StateAdded, name, length);
    CatalogRecord entry = CatalogRecord::Allocate(length);
    std::memcpy(entry.data(), r.data(), r.size());
    task.entries[ref] = std::move(entry);
    out += r;
    ++ref;
  }
  if (::pwrite(task.store.fd.get(), out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) {
    std::perror("store");
    std::exit(1);
  }
  task.store.storeSize = static_cast<int64_t>(out.size());
}

}  // namespace

int main(int argc, char** argv) {
  // The log is batched as the server's main batches it: one write for many
  // lines, not one per request.
  LogBatching logBatching;
  if (argc != 5 && argc != 8) {
    std::fprintf(stderr,
                 "usage: %s DIR PORT STORE_KIB FILE_MIB [TLS_PORT CERT KEY]\n",
                 argv[0]);
    return 2;
  }
  ReturnLargeBlocksToSystem();  // as the dirsync program does
  namespace fs = std::filesystem;
  const std::string dir = fs::absolute(argv[1]).string();
  const int port = std::atoi(argv[2]);
  const int64_t storeBytes = std::atoll(argv[3]) * 1024;
  const int64_t fileBytes = std::atoll(argv[4]) * 1024 * 1024;

  fs::create_directories(dir + "/user");
  fs::create_directories(dir + "/data");
  fs::create_directories(dir + "/vol/bench");
  std::ofstream(dir + "/user/bench-bench") << "token";
  {
    std::ofstream big(dir + "/vol/bench/big.bin", std::ios::binary | std::ios::trunc);
    const std::string chunk = std::strstr(argv[4], ":random") != nullptr
                                  ? RandomBytes(4 * 1024 * 1024, 7)
                                  : TextLike(4 * 1024 * 1024, 7);
    for (int64_t left = fileBytes; left > 0; left -= static_cast<int64_t>(chunk.size())) {
      big.write(chunk.data(), static_cast<std::streamsize>(std::min<int64_t>(left, chunk.size())));
    }
  }
  Server::Options options;
  options.programDirectory = dir + "/";
  // The catalog is made up by hand: its references name no real file.
  options.checkDownloadIdentity = false;
  Server server(options);
  server.drives().Set('D', dir + "/vol");
  bool created = false;
  VolumeWatch& volume = server.VolumeFor('D', 10000, &created);
  auto task = std::make_unique<SyncTask>();
  task->name = "bench";
  task->rootPath = "D:\\BENCH\\";
  task->storeId = 0x600d1dea;
  task->storeOpen = true;
  task->store.path = dir + "/data/bench.db";
  task->store.fd.reset(::open(task->store.path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  BuildStore(*task, storeBytes);
  CatalogRecord big = CatalogRecord::Allocate(kRecordHeaderSize + 7);
  big.set_fileRef(1);
  big.set_version(1);
  big.set_state(StateAdded);
  std::memcpy(big.mutable_name(), "big.bin", 7);
  task->entries[1] = std::move(big);
  volume.tasks["bench"] = std::move(task);
  InstallClientLinkTable(&server.clientLinks());

  KRL_NetInit(5);
  if (KRL_NetListen(port, OnReceive, OnConnectionEvent, nullptr) != 1) {
    std::fprintf(stderr, "cannot listen on %d\n", port);
    return 1;
  }
  // The same server on an encrypted port, for figures beside the plain ones.
  if (argc == 8 &&
      KRL_NetListenTls(nullptr, std::atoi(argv[5]), argv[6], argv[7], nullptr,
                       OnReceive, OnConnectionEvent, nullptr) != 1) {
    std::fprintf(stderr, "cannot listen with TLS on %s\n", argv[5]);
    return 1;
  }
  std::fprintf(stderr, "ready\n");
  char c;
  while (::read(STDIN_FILENO, &c, 1) > 0) {
  }
  FlushLog();
  std::fflush(nullptr);
  std::_Exit(0);
}
