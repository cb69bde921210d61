// Helpers shared by the server's tests: a private temporary directory and a
// capture of log lines.
#ifndef DIRSYNC_TESTS_CORE_TEST_SUPPORT_H_
#define DIRSYNC_TESTS_CORE_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"

namespace dirsync::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on
// destruction. path() ends with '/'.
class TempDir {
 public:
  TempDir() {
    const char* base = ::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") +
                          "/dirsync-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed for " << pattern;
    }
    path_ = pattern + "/";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

  // Writes contents to the file at relative path name (parents created);
  // returns its full path.
  std::string Write(const std::string& name, std::string_view contents) const {
    std::string full = path_ + name;
    std::filesystem::create_directories(
        std::filesystem::path(full).parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return full;
  }

  // Creates the directory at relative path name (parents too); returns its
  // full path without a trailing '/'.
  std::string MakeDir(const std::string& name) const {
    std::string full = path_ + name;
    std::filesystem::create_directories(full);
    return full;
  }

 private:
  std::string path_;
};

// Collects every line LogPrint writes while it lives.
class LogCapture : public LogTee {
 public:
  LogCapture() { SetLogTee(this); }
  ~LogCapture() override { SetLogTee(nullptr); }

  void Write(const char* line, size_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(line, length);
  }

  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  // Every captured line, in order, as one text.
  std::string text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const std::string& line : lines_) all += line;
    return all;
  }

  // Occurrences of piece in text().
  int Count(const std::string& piece) const {
    const std::string all = text();
    int count = 0;
    for (size_t at = all.find(piece); at != std::string::npos;
         at = all.find(piece, at + 1)) {
      ++count;
    }
    return count;
  }

  // Lines holding every one of the given pieces.
  size_t CountWith(std::initializer_list<std::string_view> pieces) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(
        std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
          for (std::string_view p : pieces) {
            if (l.find(p) == std::string::npos) return false;
          }
          return true;
        }));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace dirsync::testing

#endif  // DIRSYNC_TESTS_CORE_TEST_SUPPORT_H_
