// A profile file (INI syntax) read the way the Windows profile functions
// read it, so that dirsync.ini gives the same values on Linux:
//
//  - "[name]" starts a section; section and key names match without regard
//    to ASCII letter case; the first section of a name and, within it, the
//    first key of a name count, later repeats are never seen;
//  - a line whose first non-blank character is ';' is a comment; a ';'
//    anywhere else is part of the value (exclude lists use it);
//  - "key = value": key and value are trimmed of surrounding blanks, then
//    the value loses one pair of matching surrounding quotes (" or '), and
//    is cut to the caller's limit;
//  - integers are signed 32-bit decimal with an optional sign, read up to
//    the first non-digit ("12ab" is 12, "abc" is 0), wrapping modulo 2^32 on
//    overflow; a missing key or an empty value gives the default.
//
// Lines that are none of these (no '=', a '[' without ']', a key before any
// section) are ignored and reported through Problems(), so that the loader
// can log them. A key after a broken section header belongs to no section
// until the next good header.
//
// Not thread safe while loading; const reads are thread safe afterwards.
#ifndef DIRSYNC_PLATFORM_PROFILE_FILE_H_
#define DIRSYNC_PLATFORM_PROFILE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/status.h"

namespace dirsync {

// Buffer limits of the configuration reads, in characters (bytes).
constexpr size_t kProfileNameLimit = 258;
constexpr size_t kProfileTextLimit = 4094;

// An ignored line of a profile file, numbered from 1.
struct ProfileProblem {
  int line = 0;
  std::string reason;
};

class ProfileFile {
 public:
  // Reads the file at path. When it cannot be read the profile is empty
  // and every read gives its default.
  Status Load(const std::string& path);

  // Takes text as the whole contents of a profile file (replacing what was
  // loaded before). A leading UTF-8 byte order mark is skipped.
  void Parse(std::string_view text);

  // The value of key in section, or defaultValue when the key is missing.
  // Either is cut to at most limit characters; *wasCut (when given) tells
  // whether that happened.
  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view defaultValue, size_t limit,
                        bool* wasCut = nullptr) const;

  // The value of key in section as a signed 32-bit integer, or
  // defaultValue when the key is missing or its value is empty.
  int32_t GetInt(std::string_view section, std::string_view key,
                 int32_t defaultValue) const;

  // The key names of section (first section of that name), in file order,
  // as written in the file.
  std::vector<std::string> KeysOf(std::string_view section) const;

  // The lines that were ignored, in file order.
  const std::vector<ProfileProblem>& Problems() const { return problems_; }

 private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> keys;
  };

  const Section* FindSection(std::string_view name) const;
  const std::string* FindValue(std::string_view section,
                               std::string_view key) const;

  std::vector<Section> sections_;
  std::vector<ProfileProblem> problems_;
};

// Reads a profile integer from its text as described above (exposed for
// tests of the number rules).
int32_t ParseProfileInt(std::string_view text);

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_PROFILE_FILE_H_
