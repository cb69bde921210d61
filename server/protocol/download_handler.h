// "dload": a logged-in client fetches a byte range (at most 4 MiB) of a
// file named by its file reference number, and only while the catalog
// still holds the version the client names. The file is opened through
// the context's EntryFiles (strictly below the task's root, and only when
// it is the entry itself) and stays open in the link between requests for
// the same file reference.
//
// Handlers run on the link's data thread. The task's catalogLock is held
// shared only while the entry's version and name are copied.
#ifndef DIRSYNC_PROTOCOL_DOWNLOAD_HANDLER_H_
#define DIRSYNC_PROTOCOL_DOWNLOAD_HANDLER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/message_params.h"

namespace dirsync {

struct ClientLink;

// Size of the error text buffer of one request; longer texts are cut.
constexpr size_t kDownloadErrorSize = 512;

void HandleDload(ClientLink& link, const MessageParams& params);

// The answer to a "-dload" message received by the server: nothing.
void HandleDloadReply(ClientLink& link, const MessageParams& params);

// What ReadForDownload got: bytes read, or 0 and the reply's error text.
struct DownloadRead {
  int32_t bytes = 0;
  std::string errorText;
};

// Reads up to size bytes (0 .. 4 MiB) of fileRef at pos into destination
// (room for size bytes: the link's readBuffer, or the reply itself) when
// the catalog holds version for it. Nothing read at the end of the file
// gives the text "error=0".
DownloadRead ReadForDownload(ClientLink& link, uint64_t fileRef, uint64_t pos,
                             int32_t size, uint32_t version,
                             uint8_t* destination);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_DOWNLOAD_HANDLER_H_
