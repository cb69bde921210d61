#include "platform/drive_map.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <memory>
#include <vector>

#include "platform/log.h"

namespace dirsync {
namespace {

int LetterIndex(char letter) {
  unsigned char c = static_cast<unsigned char>(letter);
  if (c >= 'a' && c <= 'z') return c - 'a';
  if (c >= 'A' && c <= 'Z') return c - 'A';
  return -1;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// The name of dir's entry that equals name without regard to ASCII letter
// case, preferring an exact match; empty when there is none.
std::string FindEntryIgnoringCase(const std::string& dir,
                                  const std::string& name) {
  struct stat st;
  if (::lstat(JoinPath(dir, name).c_str(), &st) == 0) return name;
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
  if (d == nullptr) return {};
  while (dirent* e = ::readdir(d.get())) {
    if (::strcasecmp(e->d_name, name.c_str()) == 0) return e->d_name;
  }
  return {};
}

}  // namespace

DriveMap::DriveMap() {
  for (int i = 0; i < 26; ++i) {
    directories_[i] = std::string("/mnt/") + static_cast<char>('a' + i);
  }
}

bool DriveMap::Set(char letter, std::string directory) {
  int i = LetterIndex(letter);
  if (i < 0 || directory.empty() || directory.front() != '/') return false;
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  directories_[i] = std::move(directory);
  explicit_[i] = true;
  return true;
}

std::string DriveMap::DirectoryOf(char letter) const {
  int i = LetterIndex(letter);
  return i < 0 ? std::string() : directories_[i];
}

bool DriveMap::ToLinuxPath(std::string_view windowsPath,
                           std::string* linuxPath) const {
  std::string_view p = windowsPath;
  if (p.substr(0, 4) == "\\\\?\\") p.remove_prefix(4);
  if (p.size() < 2 || p[1] != ':' || LetterIndex(p[0]) < 0) return false;
  std::string base = DirectoryOf(p[0]);
  p.remove_prefix(2);

  // Lexical components; "." is dropped and ".." never climbs above the
  // drive's directory.
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = p.size();
    std::string part(p.substr(start, end - start));
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    start = end + 1;
  }

  std::string path = base;
  bool onDisk = true;  // every component so far exists
  for (const std::string& part : parts) {
    std::string name = part;
    if (onDisk) {
      std::string found = FindEntryIgnoringCase(path, part);
      if (found.empty()) {
        onDisk = false;
      } else {
        name = found;
      }
    }
    path = JoinPath(path, name);
  }
  *linuxPath = std::move(path);
  return true;
}

bool DriveMap::ToWindowsPath(std::string_view linuxPath,
                             std::string* windowsPath) const {
  int best = -1;
  size_t bestLength = 0;
  for (int i = 0; i < 26; ++i) {
    const std::string& dir = directories_[i];
    bool inside;
    if (dir == "/") {
      inside = !linuxPath.empty() && linuxPath[0] == '/';
    } else {
      inside = linuxPath.substr(0, dir.size()) == dir &&
               (linuxPath.size() == dir.size() || linuxPath[dir.size()] == '/');
    }
    // Longest directory wins; on a tie an explicit mapping beats a default.
    if (inside && (best < 0 || dir.size() > bestLength ||
                   (dir.size() == bestLength && explicit_[i] && !explicit_[best]))) {
      best = i;
      bestLength = dir.size();
    }
  }
  if (best < 0) return false;

  std::string_view rest = linuxPath.substr(bestLength == 1 ? 1 : bestLength);
  while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  std::string out = "\\\\?\\";
  out += static_cast<char>('A' + best);
  out += ":\\";
  for (char c : rest) out += c == '/' ? '\\' : c;
  *windowsPath = std::move(out);
  return true;
}

int LoadDriveSection(const ProfileFile& profile, DriveMap* map) {
  int count = 0;
  bool seen[26] = {};
  for (const std::string& key : profile.KeysOf("drives")) {
    if (key.size() != 1 || LetterIndex(key[0]) < 0) {
      LogPrint("%D [drives]: \"%s\" is not a drive letter; ignored\n",
               key.c_str());
      continue;
    }
    // Only the first key of a letter counts, as for every profile read.
    if (seen[LetterIndex(key[0])]) continue;
    seen[LetterIndex(key[0])] = true;
    std::string directory =
        profile.GetString("drives", key, "", kProfileTextLimit);
    if (!map->Set(key[0], directory)) {
      LogPrint("%D [drives]: %c = \"%s\" is not an absolute directory; "
               "ignored\n",
               key[0], directory.c_str());
      continue;
    }
    ++count;
  }
  return count;
}

}  // namespace dirsync
