#include "downloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "file_time.h"
#include "write_all.h"

namespace dsclient_tool {
namespace {

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

}  // namespace

const char* DownloadOutcomeName(DownloadOutcome outcome) {
  switch (outcome) {
    case DownloadOutcome::kDone: return "done";
    case DownloadOutcome::kVersionChanged: return "version changed";
    case DownloadOutcome::kGone: return "gone";
    case DownloadOutcome::kShort: return "shorter than recorded";
    case DownloadOutcome::kLonger: return "longer than recorded";
    case DownloadOutcome::kLocalError: return "local error";
    case DownloadOutcome::kConnectionLost: return "connection lost";
  }
  return "?";
}

std::string TemporaryNameFor(const std::string& target, uint64_t fileRef) {
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  return dir + ".dirsync-download-" + std::to_string(fileRef) + ".tmp";
}

DownloadOutcome ClassifyDownloadError(const std::string& err, int64_t pos) {
  if (err.rfind("server-ver=", 0) == 0) return DownloadOutcome::kVersionChanged;
  if (err.rfind("file is not exists", 0) == 0 || err.rfind("open file", 0) == 0) {
    return DownloadOutcome::kGone;
  }
  // A read that yields nothing past the start means the file ended early.
  return pos > 0 ? DownloadOutcome::kShort : DownloadOutcome::kGone;
}

Downloader::Downloader(dsclient::Connection& connection, bool zip,
                       std::function<void(uint64_t)> onBytes)
    : connection_(connection), zip_(zip), onBytes_(std::move(onBytes)) {}

DownloadOutcome Downloader::Fetch(const DownloadRequest& request,
                                  std::string* detail) {
  std::string temp = TemporaryNameFor(request.target, request.fileRef);
  ::unlink(temp.c_str());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    *detail = SystemError("cannot create", temp);
    return DownloadOutcome::kLocalError;
  }
  auto fail = [&](DownloadOutcome outcome) {
    ::close(fd);
    ::unlink(temp.c_str());
    return outcome;
  };

  // The record's size bounds the download: no byte beyond it is written.
  // The range that ends the file asks for one byte more (when the range
  // has room for it): a reply that holds it shows a file that grew after
  // the record, so the catalog has moved on and a newer record follows.
  uint64_t pos = 0;
  while (pos < request.size) {
    const uint64_t remaining = request.size - pos;
    const int32_t wanted = static_cast<int32_t>(std::min<uint64_t>(kDownloadRange, remaining));
    dsclient::DloadRequest range;
    range.path = request.catalogName.empty() ? "x" : request.catalogName;
    range.fid = static_cast<int64_t>(request.fileRef);
    range.pos = static_cast<int64_t>(pos);
    range.ver = static_cast<int32_t>(request.version);
    range.size = remaining < static_cast<uint64_t>(kDownloadRange) ? wanted + 1 : wanted;
    range.zip = zip_ ? 1 : 0;
    dsclient::DloadResult reply;
    if (!connection_.Dload(range, &reply)) {
      *detail = "no reply to dload";
      return fail(DownloadOutcome::kConnectionLost);
    }
    if (!reply.err.empty() || !reply.hasData) {
      *detail = reply.err.empty() ? "reply without data" : reply.err;
      return fail(ClassifyDownloadError(reply.err, range.pos));
    }
    if (reply.len < 0 || static_cast<size_t>(reply.len) != reply.data.size()) {
      *detail = "malformed dload reply";
      return fail(DownloadOutcome::kConnectionLost);
    }
    if (reply.len > wanted) {
      *detail = "the server holds more than the recorded " +
                std::to_string(request.size) + " bytes";
      return fail(DownloadOutcome::kLonger);
    }
    if (!WriteAll(fd, reply.data)) {
      *detail = SystemError("cannot write", temp);
      return fail(DownloadOutcome::kLocalError);
    }
    if (onBytes_) onBytes_(reply.data.size());
    pos += static_cast<uint64_t>(reply.len);
    if (reply.len < wanted) {
      *detail = "the file ended at " + std::to_string(pos) + " of " +
                std::to_string(request.size) + " bytes";
      return fail(DownloadOutcome::kShort);
    }
  }

  struct timespec times[2];
  if (FileTimeToTimespec(request.lastWriteTime, &times[1])) {
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    ::futimens(fd, times);
  }
  if (::close(fd) != 0) {
    *detail = SystemError("cannot write", temp);
    ::unlink(temp.c_str());
    return DownloadOutcome::kLocalError;
  }
  struct stat st;
  if (request.replaceDirectory && ::lstat(request.target.c_str(), &st) == 0 &&
      S_ISDIR(st.st_mode)) {
    // The catalog has a file where the mirror still has a directory.
    std::error_code ec;
    std::filesystem::remove_all(request.target, ec);
  }
  if (::rename(temp.c_str(), request.target.c_str()) != 0) {
    *detail = SystemError("cannot rename into place", request.target);
    ::unlink(temp.c_str());
    return DownloadOutcome::kLocalError;
  }
  return DownloadOutcome::kDone;
}

}  // namespace dsclient_tool
