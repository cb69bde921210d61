#include "e2e/mirror_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "e2e/store_view.h"

namespace dirsync::e2e {

namespace {
constexpr const char* kStateFolder = ".dirsync";
}  // namespace

void MirrorFixture::SetUp() {
  ASSERT_TRUE(sandbox_.ok()) << sandbox_.error();
  if (!sandbox_.onTmpfs()) {
    std::cerr << "note: no tmpfs of its own; the volume is a plain directory\n";
  }
  server_ = std::make_unique<ServerUnderTest>(sandbox_, Settings());
  ASSERT_TRUE(server_->Prepare()) << server_->error();
  client_ = std::make_unique<MirrorClient>(*server_, sandbox_.mirror(),
                                           sandbox_.base() + "/client.log");
}

void MirrorFixture::TearDown() {
  if (client_) client_->Stop();
  if (server_ && server_->running()) server_->Kill();
}

TreeSnapshot MirrorFixture::Tree() const {
  std::vector<std::string> excluded;
  std::string text = server_->settings().exclude;
  for (size_t at = 0; at <= text.size();) {
    size_t end = std::min(text.find(';', at), text.size());
    std::string path = text.substr(at, end - at);
    std::replace(path.begin(), path.end(), '\\', '/');
    if (!path.empty()) excluded.push_back(path);
    at = end + 1;
  }
  TreeSnapshot tree = TakeSnapshot(sandbox_.root(), excluded);
  // Names with a backslash have no place in the catalog's paths.
  std::erase_if(tree, [](const auto& item) {
    return item.first.find('\\') != std::string::npos;
  });
  return tree;
}

RandomWriter& MirrorFixture::MakeWriter(uint32_t seed) {
  if (const char* fixed = std::getenv("DIRSYNC_E2E_SEED"); fixed != nullptr && *fixed) {
    seed = static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10));
  }
  writer_ = std::make_unique<RandomWriter>(sandbox_.root(), sandbox_.away(), seed);
  ::testing::Test::RecordProperty("seed", static_cast<int>(seed));
  return *writer_;
}

std::string MirrorFixture::WaitForMirror(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    std::string differences = DescribeDifferences(
        Tree(), TakeSnapshot(sandbox_.mirror(), {kStateFolder}));
    if (differences.empty()) return {};
    if (std::chrono::steady_clock::now() >= deadline) {
      return Diagnosis("the mirror differs from the tree:\n" + differences);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string MirrorFixture::WaitForCatalog(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    TreeSnapshot catalog;
    std::string error;
    std::string differences;
    if (!ReadCatalog(*server_, &catalog, &error)) {
      differences = "  cannot read the catalog: " + error + "\n";
    } else {
      differences = DescribeDifferences(WithoutSums(Tree()), catalog);
    }
    if (differences.empty()) return {};
    if (std::chrono::steady_clock::now() >= deadline) {
      return Diagnosis("the server's catalog differs from the tree:\n" + differences);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string MirrorFixture::WireFaults() {
  std::vector<WireRecord> history;
  std::string error;
  if (!ReadHistory(*server_, &history, &error)) return "cannot read the store: " + error;
  std::string faults = DescribeVersionFaults(history);
  return faults.empty() ? faults : "versions that do not rise on the wire:\n" + faults;
}

std::string MirrorFixture::Diagnosis(const std::string& what) {
  std::ostringstream out;
  out << what;
  if (writer_) {
    out << "writer seed " << writer_->seed() << " (repeat with DIRSYNC_E2E_SEED="
        << writer_->seed() << "), " << writer_->operations()
        << " operations; the last ones:\n"
        << writer_->RecentOperations();
  }
  // Whose fault: a catalog that equals the tree puts it on the client.
  TreeSnapshot catalog;
  std::string error;
  if (server_->running() && ReadCatalog(*server_, &catalog, &error)) {
    std::string differences =
        DescribeDifferences(WithoutSums(Tree()), catalog);
    out << (differences.empty()
                ? "the server's catalog equals the tree (paths and sizes)\n"
                : "the server's catalog differs from the tree:\n" + differences);
  } else {
    out << "the server's catalog cannot be read: "
        << (server_->running() ? error : "the server is not running") << "\n";
  }
  out << "--- server log (end) ---\n" << server_->LogTail(40);
  out << "--- client log (end) ---\n" << client_->LogTail(30);
  if (!client_->running()) {
    out << "(client not running: " << DescribeStatus(client_->status()) << ")\n";
  }
  return out.str();
}

}  // namespace dirsync::e2e
