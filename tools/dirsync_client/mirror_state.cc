#include "mirror_state.h"

#include <sys/stat.h>

#include <charconv>
#include <sstream>

#include "local_path.h"
#include "state_file.h"

namespace dsclient_tool {
namespace {

constexpr const char* kMagic = "dirsync-mirror 1";

void AppendEscaped(std::string* out, const std::string& name) {
  static const char* hex = "0123456789ABCDEF";
  for (unsigned char c : name) {
    if (c <= 0x20 || c == '%' || c == 0x7f) {
      out->push_back('%');
      out->push_back(hex[c >> 4]);
      out->push_back(hex[c & 15]);
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
}

std::string Escape(const std::string& name) {
  std::string out;
  AppendEscaped(&out, name);
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out->push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int hi = HexValue(text[i + 1]);
    int lo = HexValue(text[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi << 4 | lo));
    i += 2;
  }
  return true;
}

}  // namespace

const MirrorEntry* MirrorState::Find(uint64_t fileRef) const {
  auto it = entries_.find(fileRef);
  return it == entries_.end() ? nullptr : &it->second;
}

void MirrorState::Put(uint64_t fileRef, MirrorEntry entry) {
  entries_[fileRef] = std::move(entry);
  changed_.insert(fileRef);
}

MirrorEntry* MirrorState::Edit(uint64_t fileRef) {
  auto it = entries_.find(fileRef);
  if (it == entries_.end()) return nullptr;
  changed_.insert(fileRef);
  return &it->second;
}

void MirrorState::Erase(uint64_t fileRef) {
  if (entries_.erase(fileRef) != 0) changed_.insert(fileRef);
}

void MirrorState::Reset(uint32_t newStoreId) {
  // The task stays: a new store of the same task.
  hasStore = true;
  storeId = newStoreId;
  position = 0;
  entries_.clear();
  changed_.clear();
  startedOver_ = true;
}

void MirrorState::ClearChanges() {
  changed_.clear();
  startedOver_ = false;
}

std::string MirrorState::PathFor(const std::string& mirrorDir) {
  return mirrorDir + "/" + kStateDirName + "/state";
}

bool MirrorEntry::link() const { return S_ISLNK(static_cast<mode_t>(mode)); }

void MirrorState::AppendEntryLine(std::string* out, uint64_t ref, const MirrorEntry& e) {
  // Written for every entry of every save: numbers go straight into the
  // text, without a string of their own each.
  auto number = [out](uint64_t value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out->append(digits, static_cast<size_t>(end - digits));
    out->push_back(' ');
  };
  out->append(e.directory ? "d " : "f ");
  number(ref);
  number(e.version);
  if (!e.directory) {
    number(e.size);
    number(e.lastWriteTime);
    number((e.needsDownload ? 1 : 0) | (e.waiting ? 2 : 0));
  }
  AppendEscaped(out, e.name);
  out->push_back(' ');
  number(e.parentRef);
  if (e.mode != 0) number(e.mode);
  out->back() = '\n';
}

std::string MirrorState::EntryLine(uint64_t ref, const MirrorEntry& e) {
  std::string line;
  AppendEntryLine(&line, ref, e);
  return line;
}

bool MirrorState::ParseEntryLine(const std::string& line, uint64_t* fileRef,
                                 MirrorEntry* entry) {
  std::istringstream fields(line);
  std::string kind;
  fields >> kind;
  if (kind != "d" && kind != "f") return false;
  uint64_t ref = 0;
  MirrorEntry e;
  e.directory = kind == "d";
  int flags = 0;
  std::string escaped;
  bool ok = static_cast<bool>(fields >> ref >> e.version);
  if (ok && !e.directory) {
    ok = static_cast<bool>(fields >> e.size >> e.lastWriteTime >> flags);
    e.needsDownload = (flags & 1) != 0;
    e.waiting = (flags & 2) != 0;
  }
  ok = ok && static_cast<bool>(fields >> escaped) && Unescape(escaped, &e.name);
  // The parent reference came later: a line without it leaves 0.
  if (ok && !(fields >> e.parentRef)) {
    e.parentRef = 0;
    ok = fields.eof();
  } else if (ok && !(fields >> e.mode)) {
    // The mode came later still: a line without it leaves 0.
    e.mode = 0;
    ok = fields.eof();
  }
  if (ok) {
    *fileRef = ref;
    *entry = std::move(e);
  }
  return ok;
}

std::string MirrorState::Serialize(uint64_t generation) const {
  std::string out = std::string(kMagic) + '\n';
  if (generation != 0) out += "generation " + std::to_string(generation) + '\n';
  if (!task.empty()) out += "task " + Escape(task) + '\n';
  if (hasStore) out += "store " + std::to_string(storeId) + '\n';
  out += "position " + std::to_string(position) + '\n';
  for (const auto& [ref, e] : entries_) AppendEntryLine(&out, ref, e);
  out += "end\n";
  return out;
}

bool MirrorState::Parse(const std::string& text, std::string* error,
                        uint64_t* generation) {
  *this = MirrorState();
  if (generation != nullptr) *generation = 0;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kMagic) {
    *error = "not a mirror state file";
    return false;
  }
  int lineNumber = 1;
  bool ended = false;
  while (std::getline(in, line)) {
    ++lineNumber;
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    bool ok = true;
    if (kind == "task") {
      std::string escaped;
      ok = static_cast<bool>(fields >> escaped) && Unescape(escaped, &task);
    } else if (kind == "store") {
      ok = static_cast<bool>(fields >> storeId);
      hasStore = true;
    } else if (kind == "generation") {
      uint64_t number = 0;
      ok = static_cast<bool>(fields >> number);
      if (generation != nullptr) *generation = number;
    } else if (kind == "position") {
      ok = static_cast<bool>(fields >> position) && position >= 0;
    } else if (kind == "d" || kind == "f") {
      uint64_t ref = 0;
      MirrorEntry entry;
      ok = ParseEntryLine(line, &ref, &entry);
      if (ok) entries_[ref] = std::move(entry);
    } else if (kind == "end") {
      ended = true;
      break;
    } else {
      ok = false;
    }
    if (!ok) {
      *error = "damaged line " + std::to_string(lineNumber);
      return false;
    }
  }
  if (!ended) {
    *error = "the file is cut off";
    return false;
  }
  return true;
}

bool MirrorState::Load(const std::string& mirrorDir, std::string* error) {
  StateFile file(mirrorDir);
  return file.Load(this, error);
}

bool MirrorState::Save(const std::string& mirrorDir, std::string* error) {
  StateFile file(mirrorDir);
  return file.WriteSnapshot(*this, error);
}

}  // namespace dsclient_tool
