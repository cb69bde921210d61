// "dload": a logged-in client fetches a byte range (at most 4 MiB) of a
// file named by its file reference number, and only while the catalog
// still holds the version the client names. The file is opened through
// the context's EntryFiles (strictly below the task's root, and only when
// it is the entry itself) and stays open in the link between requests for
// the same file reference. An entry whose record marks it a symbolic link
// is served its target text, read from the link itself (never followed)
// for each request.
//
// TakeDload checks a request on the link's owner and takes it into
// link.request; RunDload reads, compresses and answers it on a worker. The
// task's catalogLock is held shared only while the entry's version and
// name are copied.
#ifndef DIRSYNC_PROTOCOL_DOWNLOAD_HANDLER_H_
#define DIRSYNC_PROTOCOL_DOWNLOAD_HANDLER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/message_params.h"

namespace dirsync {

struct ClientLink;
struct HeavyRequest;
struct Scratch;

// Size of the error text buffer of one request; longer texts are cut.
constexpr size_t kDownloadErrorSize = 512;

// A "dload" from a link that has not logged in closes it; one without a
// usable "path", an 8-byte "fid" and "pos" and a 4-byte "ver" is only
// logged. Otherwise the request is taken into link.request (kind kDload)
// and true returned.
bool TakeDload(ClientLink& link, const MessageParams& params);
// Answers a request that TakeDload took; a "size" outside 0 .. 4 MiB is
// answered with an error.
void RunDload(ClientLink& link, const HeavyRequest& request, Scratch& scratch);

// What ReadForDownload got: bytes read, or 0 and the reply's error text.
struct DownloadRead {
  int32_t bytes = 0;
  std::string errorText;
};

// Reads up to size bytes (0 .. 4 MiB) of fileRef at pos into destination
// (room for size bytes: the scratch's readBuffer, or the reply itself) when
// the catalog holds version for it. Nothing read at the end of the file
// gives the text "error=0".
DownloadRead ReadForDownload(ClientLink& link, uint64_t fileRef, uint64_t pos,
                             int32_t size, uint32_t version,
                             uint8_t* destination);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_DOWNLOAD_HANDLER_H_
