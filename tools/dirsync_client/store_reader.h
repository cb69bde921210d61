// Reads a task's store through "list", one reply (at most the rest of a
// 4 MiB block) at a time, and cuts it into records. A block the server
// reports as damaged is skipped up to the next block boundary with a log
// line, so that one bad block does not stop a mirror for good.
//
// Not thread safe; uses one Connection.
#ifndef DIRSYNC_TOOLS_STORE_READER_H_
#define DIRSYNC_TOOLS_STORE_READER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "connection.h"
#include "store_record.h"

namespace dsclient_tool {

struct StoreChunk {
  enum class Status {
    kRecords,   // records holds what was read; next is where to go on
    kAtEnd,     // the position is at the end of the store
    kSkipped,   // a damaged block was passed over; next is past it
    kError,     // the server answered with an error (message)
    kLost,      // no reply: the connection is gone
  };
  Status status = Status::kLost;
  std::vector<dsclient::StoreRecord> records;
  int64_t next = 0;  // position after what was read
  int64_t max = 0;   // the store's length when the server answered
  std::string message;
};

// Reads from pos. taskName is sent as "path".
StoreChunk ReadStoreChunk(dsclient::Connection& connection,
                          const std::string& taskName, int64_t pos, bool zip);

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_STORE_READER_H_
