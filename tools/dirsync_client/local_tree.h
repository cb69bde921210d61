// The mirror directory on disk. Every operation takes a relative path made
// by ToLocalRelative and works strictly below the root: before it touches
// anything it checks that each existing ancestor of the path is a real
// directory (not a symbolic link, not a file), so that a link planted in
// the mirror cannot lead a write or a removal outside it. Creating
// directories replaces a file or link that stands in the way, because the
// server's catalog says a directory lives there.
//
// Not thread safe: one applier uses it at a time.
#ifndef DIRSYNC_TOOLS_LOCAL_TREE_H_
#define DIRSYNC_TOOLS_LOCAL_TREE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace dsclient_tool {

class LocalTree {
 public:
  enum class Kind { kMissing, kFile, kDirectory, kLink, kOther };

  explicit LocalTree(std::string root);

  const std::string& root() const { return root_; }
  // root + "/" + relative.
  std::string Full(std::string_view relative) const;

  // lstat of the path itself (a symbolic link is kLink, never followed).
  Kind KindOf(std::string_view relative) const;
  // Every ancestor of relative that exists is a real directory.
  bool AncestorsAreDirectories(std::string_view relative) const;

  // Creates every missing ancestor of relative (a file or link in the
  // way is removed first).
  bool MakeParents(std::string_view relative, std::string* error);
  // Creates relative as a directory, with its parents; a file or link of
  // that name is replaced.
  bool MakeDirectory(std::string_view relative, std::string* error);
  // Renames from to to, creating to's parents; a directory at to is
  // removed first when from is not a directory.
  bool Move(std::string_view from, std::string_view to, std::string* error);
  // Removes a file (or link); a missing one counts as removed.
  bool RemoveFile(std::string_view relative, std::string* error);
  // Removes a directory with everything below it; missing counts as done.
  bool RemoveTree(std::string_view relative, std::string* error);
  // What RemoveTreeExcept does with one path below the directory.
  enum class Keep { kRemove, kKeep, kDescend };
  // Removes what lies in the directory relative except the paths keep()
  // answers kKeep for; kDescend names a directory that leads to kept paths
  // (it is entered, and stays when anything in it stays). The directory
  // itself goes when nothing in it stays. Missing counts as done.
  bool RemoveTreeExcept(std::string_view relative,
                        const std::function<Keep(const std::string&)>& keep,
                        std::string* error);
  // Removes the empty ancestors of relative, nearest first, stopping at
  // the root, at a directory that is not empty, or at one keep() names.
  void RemoveEmptyParents(std::string_view relative,
                          const std::function<bool(const std::string&)>& keep);
  // Removes everything in the root except the entry named keepName.
  bool ClearAllBut(std::string_view keepName, std::string* error);
  // Sets the modification time from a catalog file time (no-op for 0); a
  // link's own time, never its target's.
  bool SetModificationTime(std::string_view relative, uint64_t fileTime);
  // Sets the permission bits of the regular file relative (a link or
  // anything else there is left alone).
  bool SetPermissions(std::string_view relative, uint32_t permissions);
  // The same for the directory relative.
  bool SetDirectoryPermissions(std::string_view relative, uint32_t permissions);
  // The target text of the link relative (false when none is there).
  bool ReadLink(std::string_view relative, std::string* target) const;

 private:
  std::string root_;
};

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_LOCAL_TREE_H_
