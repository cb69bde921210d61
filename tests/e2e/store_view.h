// The catalog as a client learns it from the server: reads the task's
// whole store through "list" and keeps the last record of every entry.
// Files in states added/updated/renamed and directories in state 6 make a
// TreeSnapshot of paths and sizes (no sums), which, compared with the
// tree, tells a server's fault from a client's.
#ifndef DIRSYNC_TESTS_E2E_STORE_VIEW_H_
#define DIRSYNC_TESTS_E2E_STORE_VIEW_H_

#include <string>

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

}  // namespace dirsync::e2e

#endif  // DIRSYNC_TESTS_E2E_STORE_VIEW_H_
