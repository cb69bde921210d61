#include "catalog/sync_task.h"

#include <strings.h>

#include <algorithm>

#include "catalog/catalog_store.h"
#include "catalog/entry_links.h"
#include "platform/program_dir.h"

namespace dirsync {

std::vector<std::string> SplitExcludes(const std::string& excludeText) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    size_t semicolon = excludeText.find(';', start);
    if (semicolon == std::string::npos) {
      pieces.push_back(excludeText.substr(start));
      return pieces;
    }
    pieces.push_back(excludeText.substr(start, semicolon - start));
    start = semicolon + 1;
  }
}

std::unique_ptr<SyncTask> OpenTask(const std::string& name,
                                   const std::string& rootPath,
                                   const std::string& excludeText,
                                   const StoreOptions& options) {
  auto task = std::make_unique<SyncTask>();
  task->name = name;
  task->rootPath = rootPath;
  task->excludes = SplitExcludes(excludeText);
  task->positionSavedOn = static_cast<uint32_t>(TodayAsNumber());
  // A store that cannot be opened has been logged; the task is then not
  // served, and its store is opened again later (OpenTaskStore).
  LoadStore(*task, options).IgnoreError();
  return task;
}

CatalogRecord* FindEntry(SyncTask& task, uint64_t fileRef) {
  auto it = task.entries.find(fileRef);
  return it == task.entries.end() ? nullptr : &it->second;
}

const CatalogRecord* FindEntry(const SyncTask& task, uint64_t fileRef) {
  auto it = task.entries.find(fileRef);
  return it == task.entries.end() ? nullptr : &it->second;
}

void EnterDirectory(SyncTask& task, uint64_t dirRef, uint64_t parentRef) {
  auto [it, inserted] = task.dirParent.try_emplace(dirRef, parentRef);
  if (!inserted && it->second != parentRef) {
    auto former = task.dirIndex.find(it->second);
    if (former != task.dirIndex.end()) {
      former->second.erase(dirRef);
      if (former->second.empty()) task.dirIndex.erase(former);
    }
    it->second = parentRef;
  }
  task.dirIndex[parentRef].insert(dirRef);
}

void EnterLink(SyncTask& task, uint64_t fileRef, uint64_t key) {
  if (key == fileRef) return;
  std::vector<uint64_t>& keys = task.links[fileRef];
  if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
}

void ForgetLink(SyncTask& task, uint64_t fileRef, uint64_t key) {
  auto it = task.links.find(fileRef);
  if (it == task.links.end()) return;
  std::vector<uint64_t>& keys = it->second;
  keys.erase(std::remove(keys.begin(), keys.end(), key), keys.end());
  if (keys.empty()) task.links.erase(it);
}

std::vector<uint64_t> KeysOfFile(const SyncTask& task, uint64_t fileRef) {
  std::vector<uint64_t> keys;
  if (task.entries.count(fileRef) != 0) keys.push_back(fileRef);
  auto it = task.links.find(fileRef);
  if (it != task.links.end()) {
    for (uint64_t key : it->second) {
      if (task.entries.count(key) != 0) keys.push_back(key);
    }
  }
  return keys;
}

uint64_t KeyForNewName(const SyncTask& task, uint64_t fileRef,
                       uint64_t parentRef, std::string_view rel) {
  if (task.entries.count(fileRef) == 0) return fileRef;
  for (uint32_t attempt = 0;; ++attempt) {
    uint64_t key = LinkKey(fileRef, parentRef, rel, attempt);
    if (key == 0 || key == fileRef || key == kSealTag) continue;
    if (task.entries.count(key) == 0) return key;
  }
}

bool IsExcluded(const SyncTask& task, std::string_view relativePath) {
  for (const std::string& e : task.excludes) {
    // An empty entry (from "a;;b" or an empty text) names nothing, not
    // even an empty path.
    if (e.empty() || relativePath.size() < e.size()) continue;
    if (::strncasecmp(relativePath.data(), e.data(), e.size()) != 0) continue;
    if (relativePath.size() == e.size() || relativePath[e.size()] == '\\') {
      return true;
    }
  }
  return false;
}

bool IsBelowRoot(const SyncTask& task, std::string_view fullPath) {
  const std::string& root = task.rootPath;
  if (fullPath.size() < kFinalPathPrefixLength + root.size()) return false;
  return ::strncasecmp(fullPath.data() + kFinalPathPrefixLength, root.data(),
                       root.size()) == 0;
}

std::string_view RelativePath(const SyncTask& task, std::string_view fullPath) {
  return fullPath.substr(kFinalPathPrefixLength + task.rootPath.size());
}

}  // namespace dirsync
