#include "platform/profile_file.h"

#include "platform/file_io.h"

#include <strings.h>


namespace dirsync {
namespace {

// Integers are read through a text buffer of 30 characters, so digits
// beyond the 29th are not seen.
constexpr size_t kIntegerTextLimit = 29;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' ||
         c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Removes one pair of matching quotes around the whole value.
std::string_view StripQuotes(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
      v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

}  // namespace

Status ProfileFile::Load(const std::string& path) {
  std::string text;
  Status read = ReadWholeFile(path, &text);
  Parse(read.ok() ? std::string_view(text) : std::string_view());
  return read;
}

void ProfileFile::Parse(std::string_view text) {
  sections_.clear();
  problems_.clear();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  // Index into sections_ of the section that takes keys; -1 before the
  // first header and after a broken one.
  long current = -1;
  int lineNumber = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNumber;

    // A NUL ends the line's text, as it ends a C string.
    std::string_view line = Trim(raw.substr(0, raw.find('\0')));
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      size_t close = line.rfind(']');
      if (close == std::string_view::npos) {
        problems_.push_back({lineNumber, "section header without ']'"});
        current = -1;
        continue;
      }
      sections_.push_back({std::string(line.substr(1, close - 1)), {}});
      current = static_cast<long>(sections_.size()) - 1;
      continue;
    }

    size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      problems_.push_back({lineNumber, "no '=' in the line"});
      continue;
    }
    std::string_view key = Trim(line.substr(0, equals));
    if (key.empty()) {
      problems_.push_back({lineNumber, "no key name before '='"});
      continue;
    }
    if (current < 0) {
      problems_.push_back({lineNumber, "key outside any section"});
      continue;
    }
    std::string_view value = Trim(line.substr(equals + 1));
    sections_[static_cast<size_t>(current)].keys.emplace_back(
        std::string(key), std::string(value));
  }
}

const ProfileFile::Section* ProfileFile::FindSection(
    std::string_view name) const {
  for (const Section& s : sections_) {
    if (EqualsIgnoringCase(s.name, name)) return &s;
  }
  return nullptr;
}

const std::string* ProfileFile::FindValue(std::string_view section,
                                          std::string_view key) const {
  const Section* s = FindSection(section);
  if (s == nullptr) return nullptr;
  for (const auto& [k, v] : s->keys) {
    if (EqualsIgnoringCase(k, key)) return &v;
  }
  return nullptr;
}

std::string ProfileFile::GetString(std::string_view section,
                                   std::string_view key,
                                   std::string_view defaultValue,
                                   size_t limit, bool* wasCut) const {
  const std::string* found = FindValue(section, key);
  std::string_view value = found != nullptr ? StripQuotes(*found) : defaultValue;
  bool cut = value.size() > limit;
  if (cut) value = value.substr(0, limit);
  if (wasCut != nullptr) *wasCut = cut;
  return std::string(value);
}

int32_t ProfileFile::GetInt(std::string_view section, std::string_view key,
                            int32_t defaultValue) const {
  std::string text = GetString(section, key, "", kIntegerTextLimit);
  if (text.empty()) return defaultValue;
  return ParseProfileInt(text);
}

std::vector<std::string> ProfileFile::KeysOf(std::string_view section) const {
  std::vector<std::string> names;
  if (const Section* s = FindSection(section)) {
    for (const auto& entry : s->keys) names.push_back(entry.first);
  }
  return names;
}

int32_t ParseProfileInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Unsigned arithmetic wraps modulo 2^32 like the platform's conversion.
  uint32_t total = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    total = total * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  if (negative) total = 0u - total;
  return static_cast<int32_t>(total);
}

}  // namespace dirsync
