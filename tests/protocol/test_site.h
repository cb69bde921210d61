// TestSite: a private server for protocol tests. It makes a temporary
// program directory (with user/ and data/), a Server on it whose drive D:
// maps to a temporary volume directory, and one task "docs" with root
// D:\DOCS\, with a store file the test fills record by record and a catalog
// the test sets entry by entry. Its client link table is the one the
// network callbacks reach while it lives.
//
// One TestSite at a time per process; not thread safe (tests set it up
// before their clients connect).
#ifndef DIRSYNC_TESTS_PROTOCOL_TEST_SITE_H_
#define DIRSYNC_TESTS_PROTOCOL_TEST_SITE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include <memory>

#include "app/server.h"
#include "catalog/sync_task.h"

namespace dirsync {

class TestSite {
 public:
  static constexpr const char* kTaskName = "docs";

  TestSite();
  ~TestSite();
  TestSite(const TestSite&) = delete;
  TestSite& operator=(const TestSite&) = delete;

  SyncTask& task() { return *task_; }
  Server& server() { return *server_; }

  // Starts the site over with downloads that check that the file at an
  // entry's path is the entry itself (the catalog is then expected to hold
  // real references). Call before anything else.
  void CheckDownloadIdentity() { Build(true); }
  const std::string& dir() const { return dir_; }
  // The Linux directory of the task's root.
  std::string rootDir() const { return dir_ + "/vol/Docs"; }

  // Writes user/TASK-UID with exactly these bytes.
  void WriteCredential(std::string_view task, std::string_view uid,
                       std::string_view content);
  // Writes user/RELATIVE (directories made as needed) with these bytes.
  void WriteUserFile(std::string_view relative, std::string_view content);
  // Adds another task of that name (same root, empty store of its own).
  // Call before clients connect.
  void AddTask(std::string_view name);

  // A record of the catalog layout (header 66 bytes, then the name).
  static std::string MakeRecord(uint64_t fileRef, uint32_t version,
                                uint8_t state, std::string_view name,
                                int32_t length = 0);
  // Appends bytes to the store file and raises storeSize by their count,
  // telling clients that wait for growth.
  void AppendStore(std::string_view bytes);
  // Appends records up to the next 4 MiB boundary with a filler record.
  void FillBlock();
  // Reads the whole store file back.
  std::string StoreBytes() const;

  // Sets the catalog entry of fileRef.
  void SetEntry(uint64_t fileRef, uint32_t version, std::string_view name,
                uint8_t state = 1);
  // Sets the catalog entry of the record bytes (a whole record).
  void SetEntryRecord(std::string_view bytes);
  // Writes a file below the task's root (relative Linux path).
  void WriteFile(std::string_view relative, std::string_view content);

 private:
  void Build(bool checkDownloadIdentity);

  std::string dir_;
  std::unique_ptr<Server> server_;
  SyncTask* task_ = nullptr;
};

}  // namespace dirsync

#endif  // DIRSYNC_TESTS_PROTOCOL_TEST_SITE_H_
