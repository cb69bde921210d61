// Helpers shared by the tracking tests: a private program directory per
// test, captured log lines, records built by hand and a store file read
// back record by record.
#ifndef DIRSYNC_TESTS_TRACKING_STORE_TEST_UTIL_H_
#define DIRSYNC_TESTS_TRACKING_STORE_TEST_UTIL_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/log.h"
#include "catalog/catalog_record.h"
#include "catalog/catalog_store.h"
#include "catalog/sync_task.h"

namespace dirsync {
namespace testing_util {

inline std::string MakeTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
      "/dirsync-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const char* made = ::mkdtemp(buffer.data());
  EXPECT_NE(made, nullptr);
  return made != nullptr ? std::string(made) : std::string();
}

// Keeps every line LogPrint writes while installed.
class CapturedLog : public LogTee {
 public:
  void Write(const char* line, size_t length) override {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.emplace_back(line, length);
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }
  // Lines containing text.
  std::vector<std::string> Matching(const std::string& text) {
    std::vector<std::string> hits;
    for (const std::string& line : Lines()) {
      if (line.find(text) != std::string::npos) hits.push_back(line);
    }
    return hits;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A private program directory and log capture for one test. Stores go to
// programDir_ + "data/" (the test may point programDir_ elsewhere).
class TrackingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    programDir_ = dir_ + "/";
    SetLogTee(&log_);
  }
  void TearDown() override {
    SetLogTee(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  StoreOptions Stores() const {
    StoreOptions options;
    options.env = env_;
    options.directory = programDir_ + "data/";
    return options;
  }

  std::unique_ptr<SyncTask> Open(const std::string& name,
                                 const std::string& root = "D:\\DATA\\",
                                 const std::string& excludes = "") {
    return OpenTask(name, root, excludes, Stores());
  }

  std::string dir_;
  std::string programDir_;
  Env* env_ = Env::Default();
  CapturedLog log_;
};

// A record of the given state and name, at least `length` bytes long.
inline CatalogRecord MakeRecord(uint64_t fileRef, uint8_t state,
                                const std::string& name, int32_t length = 0,
                                uint64_t parentRef = 0) {
  int32_t needed = kRecordHeaderSize + static_cast<int32_t>(name.size());
  CatalogRecord r = CatalogRecord::Allocate(length > needed ? length : needed);
  r.set_fileRef(fileRef);
  r.set_parentRef(parentRef);
  r.set_state(state);
  std::copy(name.begin(), name.end(), r.mutable_name());
  return r;
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::string& path,
                           const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

struct StoredRecord {
  int64_t offset;
  int32_t length;
  int64_t sequence;
  uint8_t state;
  uint64_t fileRef;
  uint64_t parentRef;
  int64_t usn;
  uint32_t version;
  uint64_t fileSize;
  std::string name;
  std::string oldName;
};

// A seal as the walk met it: it covers [start, start + covered).
struct StoredSeal {
  int64_t offset;
  int32_t length;
  int64_t sequence;
  int64_t start;
  int64_t covered;
};

// Every record of a store file (seals apart), and the damage the walk met.
class StoreContents : public StoreVisitor {
 public:
  explicit StoreContents(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    if (fd >= 0) {
      WalkStore(fd, *this);
      ::close(fd);
    }
  }
  void OnRecord(int64_t offset, const uint8_t* r) override {
    // Seals are kept apart: they vouch for the records and are no part of
    // what the tests compare.
    if (record::IsSeal(r)) {
      seals.push_back({offset, record::Length(r), record::Sequence(r),
                       static_cast<int64_t>(record::ParentRef(r)),
                       static_cast<int64_t>(record::FileSize(r))});
      return;
    }
    StoredRecord s{offset,
                   record::Length(r),
                   record::Sequence(r),
                   record::State(r),
                   record::FileRef(r),
                   record::ParentRef(r),
                   record::Usn(r),
                   record::Version(r),
                   record::FileSize(r),
                   std::string(record::NameView(r)),
                   record::State(r) == StateRenamed
                       ? std::string(record::OldNameView(r))
                       : std::string()};
    records.push_back(s);
  }
  void OnDamage(int64_t offset, int64_t end, const char*) override {
    damageOffsets.push_back(offset);
    damageEnds.push_back(end);
  }
  void OnReadError(int64_t, const Status&) override { readFailed = true; }

  // Records of entries only (no header, fillers, markers or seals).
  std::vector<StoredRecord> Entries() const {
    std::vector<StoredRecord> out;
    for (const StoredRecord& r : records) {
      if (r.state != StateFiller && r.state != StateHeader) out.push_back(r);
    }
    return out;
  }
  std::vector<StoredRecord> records;
  std::vector<StoredSeal> seals;
  std::vector<int64_t> damageOffsets;
  std::vector<int64_t> damageEnds;
  bool readFailed = false;
};

}  // namespace testing_util
}  // namespace dirsync

#endif  // DIRSYNC_TESTS_TRACKING_STORE_TEST_UTIL_H_
