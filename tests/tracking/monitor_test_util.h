// A running journal monitor for tests: a Server whose volumes map to
// private trees and whose tasks keep their stores in a private program
// directory, with the monitor and flush threads of the program, and ways to
// wait until changes have reached the stores and to read the stores back.
#ifndef DIRSYNC_TESTS_TRACKING_MONITOR_TEST_UTIL_H_
#define DIRSYNC_TESTS_TRACKING_MONITOR_TEST_UTIL_H_

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <memory>

#include "app/server.h"
#include "platform/log.h"
#include "tracking/volume_watch.h"
#include "journal/journal_test_util.h"
#include "support/test_support.h"
#include "journal/volume_journal.h"

namespace dirsync::testing {

// One record of a store file, as bytes.
struct StoredRecord {
  int64_t offset = 0;
  std::vector<uint8_t> bytes;
  uint64_t fileRef() const;
  uint8_t state() const;
  uint32_t version() const;
  int64_t usn() const;
  int64_t sequence() const;
  uint64_t fileSize() const;
  uint64_t lastWriteTime() const;
  std::string name() const;
  std::string oldName() const;
};

class MonitoredVolumes {
 public:
  MonitoredVolumes();
  ~MonitoredVolumes();
  MonitoredVolumes(const MonitoredVolumes&) = delete;
  MonitoredVolumes& operator=(const MonitoredVolumes&) = delete;

  // The private tree: the program directory (stores) and volumes live in it.
  const TempTree& tree() const { return tree_; }

  // The system the tasks' stores are written through, from the next
  // Reset (or now, before any volume is added) on; null for the real one.
  void UseStoreEnv(Env* env);
  // Where the stores lie ("<program directory>data/").
  std::string DataDirectory() const { return programDirectory_ + "data/"; }

  // Maps letter to directory and creates its VolumeWatch (quiet period
  // timeoutMs) unless there is one.
  void AddVolume(char letter, const std::string& directory, int32_t timeoutMs);
  // Creates a task (loading its store) on the volume of root's letter;
  // root is a task path such as "J:\ROOT".
  SyncTask* AddTask(const std::string& name, const std::string& root,
                    const std::string& excludes = "");
  VolumeWatch* volume(char letter) const;
  // The drives of the server, for journals a test opens itself.
  const DriveMap& drives() const { return server_->drives(); }

  // Starts the monitors and the flush threads and waits until every
  // monitor follows its journal. False after 30 s.
  bool Start(const VolumeJournal::Options& options = {});
  // Stops the flush threads, then the monitors (pending changes applied).
  void Stop();
  // Stop, then forget the volumes and tasks (their stores stay on disk).
  void Reset();

  // Writes a new marker file at markerDirectory (a Linux directory inside
  // task's root) from another process and waits until the marker reached
  // task's catalog and nothing is pending: every change made before it has
  // then been applied and written. False after 20 s.
  bool Settle(SyncTask* task, const std::string& markerDirectory);

  bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 20000);

 private:
  void NewServer();

  TempTree tree_;
  std::string programDirectory_;
  Env* storeEnv_ = nullptr;
  std::unique_ptr<Server> server_;
  bool started_ = false;
  int markers_ = 0;
};

// Every record of a task's store file but the seals, in file order.
std::vector<StoredRecord> ReadStore(SyncTask* task);
// The last record of every file reference in the store (entries only).
std::map<uint64_t, StoredRecord> LastRecords(SyncTask* task);
// The records of one file reference in the store, in order.
std::vector<StoredRecord> RecordsOf(SyncTask* task, uint64_t ref);
// The current catalog entry of ref as bytes, or empty.
std::vector<uint8_t> EntryOf(SyncTask* task, uint64_t ref);

// Stops the monitors when it goes. Declared after the environments and
// log captures a test makes, it ends the monitor threads, which use them,
// before those go.
class StopsAtEnd {
 public:
  explicit StopsAtEnd(MonitoredVolumes& volumes) : volumes_(volumes) {}
  ~StopsAtEnd() { volumes_.Stop(); }
  StopsAtEnd(const StopsAtEnd&) = delete;
  StopsAtEnd& operator=(const StopsAtEnd&) = delete;

 private:
  MonitoredVolumes& volumes_;
};

}  // namespace dirsync::testing

#endif  // DIRSYNC_TESTS_TRACKING_MONITOR_TEST_UTIL_H_
