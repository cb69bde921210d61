// "list" while the store writer appends: every reply holds whole records
// only, and what the client reads adds up to the store file.
#include <random>
#include <thread>

#include "protocol/protocol_fixture.h"
#include "catalog/catalog_record.h"
#include "catalog/catalog_store.h"

namespace dirsync {
namespace {

class ListLiveStoreTest : public ProtocolTest {};

// Whether bytes are whole records back to back.
bool WholeRecords(const std::string& bytes) {
  size_t p = 0;
  while (p < bytes.size()) {
    if (bytes.size() - p < static_cast<size_t>(kRecordHeaderSize)) return false;
    int32_t length = record::Length(reinterpret_cast<const uint8_t*>(bytes.data() + p));
    if (length < kRecordHeaderSize || static_cast<size_t>(length) > bytes.size() - p) return false;
    p += static_cast<size_t>(length);
  }
  return true;
}

TEST_F(ListLiveStoreTest, ReadsWhileTheWriterAppends) {
  SyncTask& task = site_.task();
  ASSERT_TRUE(WriteMarker(task.store, 0, StateHeader, task.storeId.load(), false).ok());
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::mt19937 rng(7);
    for (uint64_t ref = 1; ref <= 400; ++ref) {
      std::string name = "dir\\" + std::string(rng() % 1000, 'n');
      CatalogRecord entry = CatalogRecord::Allocate(kRecordHeaderSize + static_cast<int32_t>(name.size()));
      entry.set_fileRef(ref);
      entry.set_version(1);
      entry.set_state(StateAdded);
      std::copy(name.begin(), name.end(), entry.mutable_name());
      {
        WriterLock lock(&task.catalogLock);
        task.entries[ref] = CatalogRecord::Allocate(entry.length());
        std::copy(entry.data(), entry.data() + entry.length(), task.entries[ref].data());
      }
      EXPECT_TRUE(WriteEntry(task, task.entries[ref], false).ok());
    }
    done = true;
  });

  auto c = LoggedIn();
  std::string seen;
  int64_t pos = 0;
  int replies = 0;
  while (!done.load() || pos < task.store.storeSize.load()) {
    dsclient::ListResult r;
    ASSERT_TRUE(c->List("docs", pos, replies % 2, &r));
    ASSERT_TRUE(r.err.empty()) << r.err;
    ASSERT_TRUE(WholeRecords(r.data)) << "torn reply at " << pos;
    seen += r.data;
    pos += r.len;
    ++replies;
  }
  writer.join();
  EXPECT_GT(replies, 1);
  EXPECT_EQ(seen, site_.StoreBytes());
}

}  // namespace
}  // namespace dirsync
