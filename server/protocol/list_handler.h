// "list": a logged-in client reads its task's store from a byte position
// of its own, up to the end of that position's 4 MiB block, as raw
// catalog records; records that the catalog has since overtaken (a higher
// version for the same file) are marked with state 5 in the copy sent.
//
// Only bytes the store has finished writing are read: the read stops at
// the storeSize taken at the start of the request when that comes before
// the block's end. A damaged record (length below the 66-byte header or
// running past the bytes read) ends the walk: the reply carries the
// records before it, or an "err" naming its position when there are none.
// Damage found when the store was loaded (CatalogStore::damaged) is sent
// as one filler record covering it, so that clients pass over it; the
// catalog has been caught up against the tree meanwhile.
//
// TakeList checks a request on the link's owner and takes it into
// link.request; RunList reads, compresses and answers it on a worker. The
// task's catalogLock is held shared only around the lookups of the walk,
// never across the send.
#ifndef DIRSYNC_PROTOCOL_LIST_HANDLER_H_
#define DIRSYNC_PROTOCOL_LIST_HANDLER_H_

#include <cstddef>
#include <cstdint>

#include "catalog/sync_task.h"
#include "platform/thread_annotations.h"
#include "protocol/message_params.h"

namespace dirsync {

struct ClientLink;
struct HeavyRequest;
struct Scratch;

// A "list" from a link that has not logged in closes it; one without a
// usable "path" or an 8-byte "pos" is only logged. Otherwise the request
// is taken into link.request (kind kList) and true returned.
bool TakeList(ClientLink& link, const MessageParams& params);
// Answers a request that TakeList took. The store size is read when it
// runs.
void RunList(ClientLink& link, const HeavyRequest& request, Scratch& scratch);

// Walks the records in bytes[0, n), marking overtaken ones stale. Returns
// the number of bytes that hold whole, sound records (n unless a damaged
// record stopped the walk). Takes the task's catalogLock shared.
size_t MarkStaleRecords(SyncTask& task, uint8_t* bytes, size_t n)
    EXCLUDES(task.catalogLock);

}  // namespace dirsync

#endif  // DIRSYNC_PROTOCOL_LIST_HANDLER_H_
