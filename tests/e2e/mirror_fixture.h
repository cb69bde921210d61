// The fixture of the end-to-end checks: a sandbox, the real server on it,
// the real client mirroring it, a seeded random writer, and waiting for
// the mirror to equal the tree with a diagnosis when it does not: what
// differs between tree and mirror, whether the server's catalog (read
// through the protocol) equals the tree, the writer's seed and last
// operations, and the ends of both logs.
#ifndef DIRSYNC_TESTS_E2E_MIRROR_FIXTURE_H_
#define DIRSYNC_TESTS_E2E_MIRROR_FIXTURE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "e2e/mirror_client.h"
#include "e2e/random_writer.h"
#include "e2e/sandbox.h"
#include "e2e/server_under_test.h"
#include "e2e/tree_snapshot.h"

namespace dirsync::e2e {

class MirrorFixture : public ::testing::Test {
 protected:
  static constexpr int kQuietMs = 200;

  void SetUp() override;
  void TearDown() override;

  // The server's settings. The writer's names come from small pools, so
  // the excluded places fill and empty, and entries move into and out of
  // them.
  virtual ServerSettings Settings() const {
    ServerSettings settings;
    settings.timeoutMs = kQuietMs;
    settings.exclude = "d1;d2;d3;f4;d5\\d6";
    return settings;
  }
  // The task's tree as the mirror should hold it: the root without the
  // excluded paths and without names that hold a backslash.
  TreeSnapshot Tree() const;

  // A writer on the sandbox's root; the seed comes from DIRSYNC_E2E_SEED
  // when set (to repeat a failed run), else from the argument.
  RandomWriter& MakeWriter(uint32_t seed);

  // Waits until the mirror equals the tree (polling, up to limit). On
  // failure returns a description of what differs and why; empty on
  // success.
  std::string WaitForMirror(std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Waits until the server's catalog equals the tree in paths and sizes;
  // the same kind of result.
  std::string WaitForCatalog(std::chrono::milliseconds limit = std::chrono::seconds(20));

  // What clients see on the wire that would mislead them: versions of an
  // entry that do not rise from one record to the next (DescribeVersionFaults).
  // Empty when all is well.
  std::string WireFaults();

  // Everything worth knowing when a check fails.
  std::string Diagnosis(const std::string& what);

  Sandbox sandbox_;
  std::unique_ptr<ServerUnderTest> server_;
  std::unique_ptr<MirrorClient> client_;
  std::unique_ptr<RandomWriter> writer_;
};

}  // namespace dirsync::e2e

#endif  // DIRSYNC_TESTS_E2E_MIRROR_FIXTURE_H_
