// A temporary directory for one test, removed with everything in it.
#ifndef DIRSYNC_TESTS_TOOLS_TEMP_DIR_H_
#define DIRSYNC_TESTS_TOOLS_TEMP_DIR_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace dsclient_tool {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/dirsync-client-test-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

inline void WriteText(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace dsclient_tool

#endif  // DIRSYNC_TESTS_TOOLS_TEMP_DIR_H_
