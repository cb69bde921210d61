#include "e2e/store_view.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "connection.h"

namespace dirsync::e2e {
namespace {

// Record layout, little-endian: 0 length i32, 12 fileRef u64, 40 fileSize
// u64, 64 state u8, 65 name with its NUL.
constexpr size_t kHeader = 66;

uint64_t Load(const std::string& bytes, size_t at, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
  }
  return value;
}

struct Entry {
  uint8_t state = 0;
  uint64_t size = 0;
  std::string name;
};

}  // namespace

bool ReadCatalog(const ServerUnderTest& server, TreeSnapshot* out,
                 std::string* error) {
  dsclient::Connection connection;
  if (!connection.Connect("127.0.0.1", server.port())) {
    *error = "cannot connect";
    return false;
  }
  dsclient::LoginResult login;
  const ServerSettings& s = server.settings();
  if (!connection.Login(s.user, s.token, s.task, &login) || login.data != "ok") {
    *error = "login refused";
    return false;
  }
  std::unordered_map<uint64_t, Entry> entries;
  int64_t pos = 0;
  int64_t max = login.max;
  while (pos < max) {
    dsclient::ListResult list;
    if (!connection.List(s.task, pos, 0, &list) || !list.err.empty()) {
      *error = "list at " + std::to_string(pos) + " failed " + list.err;
      return false;
    }
    max = list.max;
    const std::string& data = list.data;
    if (data.empty()) break;
    for (size_t at = 0; at < data.size();) {
      if (data.size() - at < kHeader) {
        *error = "short record at " + std::to_string(pos + static_cast<int64_t>(at));
        return false;
      }
      size_t length = static_cast<size_t>(Load(data, at, 4));
      if (length < kHeader || length > data.size() - at) {
        *error = "bad record length at " + std::to_string(pos + static_cast<int64_t>(at));
        return false;
      }
      uint8_t state = static_cast<uint8_t>(data[at + 64]);
      // Fillers and markers (0), the header (4) and records overtaken by a
      // later one (5) describe no entry.
      if (state != 0 && state != 4 && state != 5) {
        Entry& e = entries[Load(data, at + 12, 8)];
        e.state = state;
        e.size = Load(data, at + 40, 8);
        const char* name = data.data() + at + 65;
        e.name.assign(name, strnlen(name, length - 65));
      }
      at += length;
    }
    pos += static_cast<int64_t>(data.size());
  }
  out->clear();
  for (const auto& [ref, e] : entries) {
    bool file = e.state == 1 || e.state == 2 || e.state == 3;
    if (!file && e.state != 6) continue;
    std::string path = e.name;
    std::replace(path.begin(), path.end(), '\\', '/');
    TreeItem item;
    item.directory = !file;
    item.size = file ? e.size : 0;
    if (out->count(path) != 0) {
      *error = "two live entries hold " + path;
      return false;
    }
    (*out)[path] = item;
  }
  return true;
}

TreeSnapshot WithoutSums(const TreeSnapshot& snapshot) {
  TreeSnapshot out = snapshot;
  for (auto& [path, item] : out) item.crc = 0;
  return out;
}

}  // namespace dirsync::e2e
