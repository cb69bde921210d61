// "dload": a logged-in client fetches a byte range (at most 4 MiB) of a
// file named by its file reference number, and only while the catalog
// still holds the version the client names. The file stays open in the
// link between requests for the same file reference.
//
// A download opens the entry's file only inside its task's root: the
// entry's relative name is resolved below the root directory with
// openat2 and RESOLVE_BENEATH, so symbolic links that stay inside the root
// are followed and links that leave it are refused; only regular files
// are read.
//
// The file opened by the entry's name must be the entry itself (the inode
// its file reference names): while the catalog waits for a batch, another
// file may stand at the entry's recorded path, and its bytes must not go
// out under the entry's version. Such a request is answered with an error;
// the client tries again once the catalog records where the entry went.
//
// Handlers run on the link's data thread. The task's catalogLock is held
// shared only while the entry's version and name are copied.
#ifndef DIRSYNC_PROTOCOL_DOWNLOAD_HANDLER_H_
#define DIRSYNC_PROTOCOL_DOWNLOAD_HANDLER_H_

#include <cstddef>
#include <cstdint>

#include "protocol/message_params.h"

namespace dirsync {

struct ClientLink;

// Size of the error text buffer of one request; longer texts are cut.
constexpr size_t kDownloadErrorSize = 512;

void HandleDload(ClientLink& link, const MessageParams& params);

// Whether downloads check that the opened file is the entry (on by
// default). Test sites whose catalogs are made up by hand, with references
// that name no real file, turn it off. Thread safe.
void SetDownloadChecksIdentity(bool on);

// The answer to a "-dload" message received by the server: nothing.
void HandleDloadReply(ClientLink& link, const MessageParams& params);

// Reads up to size bytes (0 .. 4 MiB) of fileRef at pos into destination
// (room for size bytes: the link's readBuffer, or the reply itself) when
// the catalog holds version for it. Returns the bytes read, or 0, in which
// case errorText (kDownloadErrorSize bytes) may hold the reason; when it
// stays empty, errno holds the read's error code (0 at the end of the
// file).
int ReadForDownload(ClientLink& link, uint64_t fileRef, uint64_t pos,
                    int32_t size, uint32_t version, char* errorText,
                    uint8_t* destination);

// One positioned read of count bytes at pos; the descriptor's file offset
// is neither used nor moved. Returns the bytes read, or 0 on failure or at
// the end of the file (errno 0 there).
int ReadFileAt(int fd, uint64_t pos, uint8_t* buffer, int count);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_DOWNLOAD_HANDLER_H_
