#include "e2e/store_view.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "connection.h"

namespace dirsync::e2e {
namespace {

// Record layout, little-endian: 0 length i32, 12 fileRef u64, 36 version
// u32, 40 fileSize u64, 64 state u8, 65 name with its NUL (and a rename's
// previous name with its NUL behind it).
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

bool ReadHistory(const ServerUnderTest& server, std::vector<WireRecord>* out,
                 std::string* error) {
  out->clear();
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
      WireRecord r;
      r.state = static_cast<uint8_t>(data[at + 64]);
      // Fillers and markers (0) and the header (4) describe no entry.
      if (r.state != 0 && r.state != 4) {
        r.fileRef = Load(data, at + 12, 8);
        r.version = static_cast<uint32_t>(Load(data, at + 36, 4));
        r.size = Load(data, at + 40, 8);
        const char* name = data.data() + at + 65;
        size_t room = length - 65;
        r.name.assign(name, strnlen(name, room));
        if (r.state == 3 && r.name.size() + 1 < room) {
          r.oldName.assign(name + r.name.size() + 1,
                           strnlen(name + r.name.size() + 1, room - r.name.size() - 1));
        }
        out->push_back(std::move(r));
      }
      at += length;
    }
    pos += static_cast<int64_t>(data.size());
  }
  return true;
}

std::string DescribeVersionFaults(const std::vector<WireRecord>& history) {
  std::unordered_map<uint64_t, const WireRecord*> last;
  std::string faults;
  for (const WireRecord& r : history) {
    const WireRecord*& before = last[r.fileRef];
    bool comesBack = before != nullptr && (r.state == 1 || r.state == 6) &&
                     (before->state == 255 || before->state == 7 || before->state == 5);
    if (before != nullptr && !comesBack && r.version <= before->version) {
      faults += "  reference " + std::to_string(r.fileRef) + ": version " +
                std::to_string(r.version) + " (state " + std::to_string(r.state) + ", " +
                r.name + ") after version " + std::to_string(before->version) + " (state " +
                std::to_string(before->state) + ", " + before->name + ")\n";
    }
    before = &r;
  }
  return faults;
}

bool ReadCatalog(const ServerUnderTest& server, TreeSnapshot* out,
                 std::string* error) {
  std::vector<WireRecord> history;
  if (!ReadHistory(server, &history, error)) return false;
  // The last record of every entry; records overtaken by a later one
  // (5) describe no entry.
  std::unordered_map<uint64_t, Entry> entries;
  for (const WireRecord& r : history) {
    if (r.state == 5) continue;
    Entry& e = entries[r.fileRef];
    e.state = r.state;
    e.size = r.size;
    e.name = r.name;
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
