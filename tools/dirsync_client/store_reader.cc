#include "store_reader.h"

#include "client_log.h"

namespace dsclient_tool {

StoreChunk ReadStoreChunk(dsclient::Connection& connection,
                          const std::string& taskName, int64_t pos, bool zip) {
  StoreChunk chunk;
  chunk.next = pos;
  dsclient::ListResult reply;
  if (!connection.List(taskName, pos, zip ? 1 : 0, &reply)) {
    chunk.status = StoreChunk::Status::kLost;
    chunk.message = "no reply to list";
    return chunk;
  }
  chunk.max = reply.max;
  const int64_t nextBlock = (pos / dsclient::kStoreBlockSize + 1) * dsclient::kStoreBlockSize;
  if (!reply.err.empty()) {
    if (reply.err.rfind("damaged record", 0) == 0) {
      Log("the server's store is damaged at %lld (%s); skipping to %lld",
          static_cast<long long>(pos), reply.err.c_str(),
          static_cast<long long>(nextBlock));
      chunk.status = StoreChunk::Status::kSkipped;
      chunk.next = nextBlock;
      return chunk;
    }
    chunk.status = StoreChunk::Status::kError;
    chunk.message = reply.err;
    return chunk;
  }
  if (!reply.hasData) {
    chunk.status = StoreChunk::Status::kAtEnd;
    return chunk;
  }
  if (reply.len <= 0 || static_cast<size_t>(reply.len) != reply.data.size()) {
    chunk.status = StoreChunk::Status::kLost;
    chunk.message = "malformed list reply";
    return chunk;
  }
  int64_t damageAt = 0;
  size_t used = dsclient::ParseStoreRecords(reply.data, pos, &chunk.records, &damageAt);
  if (used == 0) {
    Log("unreadable records at %lld; skipping to %lld", static_cast<long long>(pos),
        static_cast<long long>(nextBlock));
    chunk.status = StoreChunk::Status::kSkipped;
    chunk.next = nextBlock;
    return chunk;
  }
  // Whatever could not be read is asked for again from where it starts.
  chunk.next = pos + static_cast<int64_t>(used);
  chunk.status = StoreChunk::Status::kRecords;
  return chunk;
}

}  // namespace dsclient_tool
