// The task's catalog as a client sees it: the whole store read from
// position 0, keeping for every file reference its latest record while it
// is live (added, updated, renamed, directory) and dropping it once
// deleted or gone with its directory. Not thread safe.
#ifndef DIRSYNC_TOOLS_CATALOG_VIEW_H_
#define DIRSYNC_TOOLS_CATALOG_VIEW_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "connection.h"
#include "store_record.h"

namespace dsclient_tool {

class CatalogView {
 public:
  // Folds one record in.
  void Fold(const dsclient::StoreRecord& record);
  // Reads the store from 0 to its end. False with *error when the
  // connection is lost or the server cannot list.
  bool ReadAll(dsclient::Connection& connection, const std::string& task,
               bool zip, std::string* error);

  const std::map<uint64_t, dsclient::StoreRecord>& live() const { return live_; }
  // The live entry whose path equals path without regard to ASCII letter
  // case, '/' and '\' being the same; an exact match wins. Null if none.
  const dsclient::StoreRecord* FindByPath(std::string_view path) const;

 private:
  std::map<uint64_t, dsclient::StoreRecord> live_;
};

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_CATALOG_VIEW_H_
