// The catalog as a client learns it from the server: reads the task's
// whole store through "list" and keeps the last record of every entry.
// Files in states added/updated/renamed and directories in state 6 make a
// TreeSnapshot of paths and sizes (no sums), which, compared with the
// tree, tells a server's fault from a client's.
#ifndef DIRSYNC_TESTS_E2E_STORE_VIEW_H_
#define DIRSYNC_TESTS_E2E_STORE_VIEW_H_

#include <cstdint>
#include <string>
#include <vector>

#include "e2e/server_under_test.h"
#include "e2e/tree_snapshot.h"

namespace dirsync::e2e {

// The live entries of the catalog as the store records them. False, with
// *error set, when the store cannot be read through the protocol or holds
// a record that cannot be parsed.
bool ReadCatalog(const ServerUnderTest& server, TreeSnapshot* out,
                 std::string* error);

// The snapshot with every file's sum cleared, to compare with ReadCatalog.
TreeSnapshot WithoutSums(const TreeSnapshot& snapshot);

// One record as a client reads it on the wire.
struct WireRecord {
  uint64_t fileRef = 0;
  uint8_t state = 0;
  uint32_t version = 0;
  uint64_t size = 0;
  std::string name;
  std::string oldName;  // renames only
};

// Every record of the task's store in store order (fillers, markers and
// the header left out). False, with *error set, as ReadCatalog.
bool ReadHistory(const ServerUnderTest& server, std::vector<WireRecord>* out,
                 std::string* error);

// What a client would be misled by: a record whose version does not rise
// above the one before it for the same reference (a reference that comes
// back after a deletion, in state 1 or 6, starts afresh). Empty when all
// is well; otherwise one line per fault.
std::string DescribeVersionFaults(const std::vector<WireRecord>& history);

}  // namespace dirsync::e2e

#endif  // DIRSYNC_TESTS_E2E_STORE_VIEW_H_
