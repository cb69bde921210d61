#include "catalog_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "client_log.h"
#include "downloader.h"
#include "printable.h"
#include "server_session.h"

namespace dsclient_tool {

using dsclient::RecordState;
using dsclient::StoreRecord;

namespace {

// A refused version means the catalog moved on: read it again and ask for
// the newer one, a few times.
constexpr int kGetAttempts = 5;

bool OpenAndRead(dsclient::Connection& connection, const Options& options,
                 const std::string& token, CatalogView* view) {
  SessionInfo info;
  std::string message;
  if (OpenSession(connection, options, token, &info, &message) != LoginStatus::kOk) {
    Log("%s", message.c_str());
    return false;
  }
  if (!view->ReadAll(connection, options.task, options.zip, &message)) {
    Log("%s", message.c_str());
    return false;
  }
  return true;
}

// --out naming an existing directory receives the file under its own name.
std::string TargetFor(const std::string& out, const std::string& catalogName) {
  struct stat st;
  if (::stat(out.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return out;
  size_t cut = catalogName.find_last_of("\\/");
  std::string base = cut == std::string::npos ? catalogName : catalogName.substr(cut + 1);
  return out + "/" + base;
}

}  // namespace

void PrintCatalog(const CatalogView& view, std::FILE* out) {
  std::vector<const StoreRecord*> records;
  for (const auto& [ref, record] : view.live()) records.push_back(&record);
  std::sort(records.begin(), records.end(),
            [](const StoreRecord* a, const StoreRecord* b) { return a->name < b->name; });
  for (const StoreRecord* r : records) {
    std::string path = Printable(r->name);
    std::replace(path.begin(), path.end(), '\\', '/');
    bool directory = r->kind() == RecordState::kDirectory;
    std::fprintf(out, "%s\t%s\t%u\t%s\n", path.c_str(), dsclient::RecordStateName(r->state),
                 r->version, directory ? "-" : std::to_string(r->fileSize).c_str());
  }
}

int RunList(const Options& options, const std::string& token) {
  dsclient::Connection connection;
  CatalogView view;
  if (!OpenAndRead(connection, options, token, &view)) return 1;
  PrintCatalog(view, stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int RunGet(const Options& options, const std::string& token) {
  const std::string& path = options.operands.at(0);
  for (int attempt = 1; attempt <= kGetAttempts; ++attempt) {
    dsclient::Connection connection;
    CatalogView view;
    if (!OpenAndRead(connection, options, token, &view)) return 1;
    const StoreRecord* record = view.FindByPath(path);
    if (record == nullptr) {
      Log("%s is not in the catalog of task %s", Printable(path).c_str(),
          options.task.c_str());
      return 1;
    }
    if (record->kind() == RecordState::kDirectory) {
      Log("%s is a directory", Printable(path).c_str());
      return 1;
    }
    if (record->isSpecial()) {
      Log("%s is a FIFO, socket or device", Printable(path).c_str());
      return 1;
    }
    if (record->notCarried) {
      Log("%s is not carried: its path is longer than the system allows",
          Printable(path).c_str());
      return 1;
    }
    Downloader downloader(connection, options.zip);
    DownloadRequest request;
    request.fileRef = record->fileRef;
    request.version = record->version;
    request.size = record->fileSize;
    request.lastWriteTime = record->lastWriteTime;
    request.catalogName = record->name;
    request.target = TargetFor(options.out, record->name);
    request.link = record->isLink();
    request.hasMode = record->hasAttributes;
    request.mode = record->mode;
    std::string detail;
    DownloadOutcome outcome = downloader.Fetch(request, &detail);
    if (outcome == DownloadOutcome::kDone) return 0;
    if (outcome != DownloadOutcome::kVersionChanged &&
        outcome != DownloadOutcome::kShort && outcome != DownloadOutcome::kLonger) {
      Log("cannot download %s: %s (%s)", Printable(path).c_str(),
          DownloadOutcomeName(outcome), detail.c_str());
      return 1;
    }
    Log("%s changed on the server while downloading; trying again",
        Printable(path).c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(200 * attempt));
  }
  Log("cannot download %s: it keeps changing on the server", Printable(path).c_str());
  return 1;
}

}  // namespace dsclient_tool
