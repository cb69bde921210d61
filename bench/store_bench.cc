// Store benchmark: loading a store of many entry records (against the raw
// sequential read speed of the same file, cold and warm), resident memory
// per catalog entry, and changes applied per second with every write on
// disk, one write per batch against one write per record.
//
//   store_bench [ENTRIES] [CHANGES] [DIR]
//
// Defaults: 1000000 entries, 10000 changes (half updates of existing
// entries, half additions), a temporary directory under $TMPDIR or /tmp.
// The server's log lines go to /dev/null; the figures to standard error.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/log.h"
#include "catalog/catalog_changes.h"
#include "catalog/catalog_record.h"
#include "catalog/catalog_store.h"
#include "catalog/sync_task.h"

namespace {

using namespace dirsync;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time of this thread, which other processes on a shared
// machine do not inflate as they do wall-clock time.
double CpuSeconds() {
  timespec t;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

int64_t ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f != nullptr) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<int64_t>(resident) * ::sysconf(_SC_PAGESIZE);
}

int64_t HeapBytesInUse() {
  struct mallinfo2 info = ::mallinfo2();
  return static_cast<int64_t>(info.uordblks + info.hblkhd);
}

// Relative path of the i-th file: a few levels, names of typical length.
std::string FileName(uint64_t i) {
  char name[96];
  std::snprintf(name, sizeof name, "projects\\p%03llu\\src\\module%02llu\\file%07llu.cpp",
                static_cast<unsigned long long>(i / 10000),
                static_cast<unsigned long long>(i / 100 % 100),
                static_cast<unsigned long long>(i));
  return name;
}

CatalogRecord FileRecord(uint64_t ref, const std::string& name, uint8_t state,
                         int32_t extra) {
  CatalogRecord r = CatalogRecord::Allocate(
      kRecordHeaderSize + static_cast<int32_t>(name.size()) + extra);
  r.set_fileRef(ref);
  r.set_parentRef(ref / 100 + 1);
  r.set_state(state);
  r.set_version(1);
  r.set_fileSize(ref * 37);
  r.set_creationTime(133000000000000000ull + ref);
  r.set_lastWriteTime(133000000000000000ull + 2 * ref);
  std::copy(name.begin(), name.end(), r.mutable_name());
  return r;
}

void DropFromCache(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

// Sequential read of the whole file in 4 MiB pieces; returns MB/s.
double RawReadSpeed(const std::string& path, int64_t* bytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::unique_ptr<uint8_t[]> piece(new uint8_t[kBlockSize]);
  Clock::time_point start = Clock::now();
  *bytes = 0;
  for (;;) {
    ssize_t n = ::pread(fd, piece.get(), kBlockSize, *bytes);
    if (n <= 0) break;
    *bytes += n;
  }
  double seconds = SecondsSince(start);
  ::close(fd);
  return static_cast<double>(*bytes) / 1e6 / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t entryCount = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  uint64_t changeCount = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 10000;
  std::string dir;
  if (argc > 3) {
    dir = argv[3];
  } else {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") +
                          "/dirsync-bench-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) return 1;
    dir = buffer.data();
  }
  StoreOptions stores;
  stores.directory = dir + "/data/";
  // The figures go to standard error; the server's log lines to nowhere.
  int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, STDOUT_FILENO);

  // 1. A store of entryCount entry records, written through the buffer as
  // the initial build writes them.
  std::string path;
  {
    std::unique_ptr<SyncTask> writer(OpenTask("bench", "D:\\DATA\\", "", stores));
    path = writer->store.path;
    for (uint64_t i = 0; i < entryCount; ++i) {
      CatalogRecord r = FileRecord(i + 1, FileName(i), StateAdded, 0);
      if (!WriteRecord(writer->store, r, true).ok()) return 1;
    }
    if (!FlushBuffer(writer->store, true).ok()) return 1;
  }
  int64_t fileBytes = static_cast<int64_t>(std::filesystem::file_size(path));
  std::fprintf(stderr, "store: %llu entry records, %.1f MB (%s)\n",
               static_cast<unsigned long long>(entryCount), fileBytes / 1e6,
               path.c_str());

  // 2. Raw sequential read of the same file: the physical limit.
  int64_t bytes;
  DropFromCache(path);
  double coldRead = RawReadSpeed(path, &bytes);
  double warmRead = RawReadSpeed(path, &bytes);

  // 3. Loading it, cold and warm.
  ::malloc_trim(0);
  int64_t residentBefore = ResidentBytes();
  int64_t heapBefore = HeapBytesInUse();
  DropFromCache(path);
  Clock::time_point start = Clock::now();
  double cpuStart = CpuSeconds();
  std::unique_ptr<SyncTask> task(OpenTask("bench", "D:\\DATA\\", "", stores));
  double coldLoad = SecondsSince(start);
  double coldLoadCpu = CpuSeconds() - cpuStart;
  int64_t residentAfter = ResidentBytes();
  int64_t heapAfter = HeapBytesInUse();
  size_t loaded;
  {
    ReaderLock lock(&task->catalogLock);
    loaded = task->entries.size();
  }
  double warmLoad, warmLoadCpu;
  {
    start = Clock::now();
    cpuStart = CpuSeconds();
    std::unique_ptr<SyncTask> again(OpenTask("bench", "D:\\DATA\\", "", stores));
    warmLoad = SecondsSince(start);
    warmLoadCpu = CpuSeconds() - cpuStart;
  }
  double mb = static_cast<double>(fileBytes) / 1e6;
  std::fprintf(stderr,
               "raw read: cold %.0f MB/s, warm %.0f MB/s\n"
               "load: cold %.3f s (%.0f records/s, %.0f MB/s, %.3f s of "
               "processor), warm %.3f s (%.0f records/s, %.0f MB/s, %.3f s "
               "of processor), %zu entries\n"
               "memory: %.1f bytes resident per entry, %.1f bytes of heap "
               "per entry (record blocks average %.1f bytes)\n",
               coldRead, warmRead, coldLoad, loaded / coldLoad, mb / coldLoad,
               coldLoadCpu, warmLoad, loaded / warmLoad, mb / warmLoad,
               warmLoadCpu, loaded,
               static_cast<double>(residentAfter - residentBefore) / loaded,
               static_cast<double>(heapAfter - heapBefore) / loaded,
               static_cast<double>(fileBytes) / loaded);

  // 4. Changes per second: updates of existing entries and additions,
  // every write on disk, each way of writing a batch.
  TaskMap tasks;
  PendingChanges pending;
  SyncTask& bench = *task;
  tasks["bench"] = std::move(task);
  const StoreWriteMode modes[] = {StoreWriteMode::kOneWritePerBatch,
                                  StoreWriteMode::kOneWritePerRecord};
  const char* modeNames[] = {"one write per batch", "one write per record"};
  uint64_t nextNew = entryCount + 1;
  for (int m = 0; m < 2; ++m) {
    uint64_t firstUpdated = static_cast<uint64_t>(m) * changeCount + 1;
    for (uint64_t i = 0; i < changeCount; ++i) {
      uint64_t ref;
      std::string name;
      if (i % 2 == 0) {
        ref = firstUpdated + i;  // an existing entry, same path
        name = FileName(ref - 1);
      } else {
        ref = nextNew++;
        name = "added\\" + FileName(ref);
      }
      CatalogRecord change = FileRecord(ref, "\\\\?\\D:\\DATA\\" + name,
                                        StateAdded, 1024 - static_cast<int32_t>(
                                                               name.size()) - 12);
      change.set_version(0);
      pending[ref] = std::move(change);
    }
    int64_t sizeBefore = bench.store.storeSize.load();
    start = Clock::now();
    if (!ApplyPendingChanges(tasks, pending, 1000 + m, modes[m]).ok()) return 1;
    pending.clear();
    double seconds = SecondsSince(start);
    std::fprintf(stderr,
                 "changes (%s): %llu in %.3f s = %.0f changes/s, %.1f MB "
                 "written\n",
                 modeNames[m], static_cast<unsigned long long>(changeCount),
                 seconds, changeCount / seconds,
                 (bench.store.storeSize.load() - sizeBefore) / 1e6);
  }

  if (argc <= 3) std::filesystem::remove_all(dir);
  return 0;
}
