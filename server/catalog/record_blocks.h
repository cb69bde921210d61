// Memory for the blocks of catalog records (CatalogRecord). A catalog holds
// one block per entry, most of them 70 to 200 bytes, which the C library
// would give a header of 8 bytes and round up to 16 (a 108-byte record
// takes 128). Blocks of up to kLargestPooledBlock bytes come instead from
// 64 KiB slabs, one size class every 8 bytes, each class with a free list;
// larger blocks come from operator new[]. A class's slabs go back to the
// system once its last block is freed.
//
// Thread safe: records are made and freed by many threads (the journal
// monitor, a task's writer, network threads, tests), so one mutex guards
// the slabs and lists rather than any task's lock.
//
// Under AddressSanitizer every block comes from operator new[], so that
// overruns and uses after free of records stay visible to it.
#ifndef DIRSYNC_CATALOG_RECORD_BLOCKS_H_
#define DIRSYNC_CATALOG_RECORD_BLOCKS_H_

#include <cstddef>
#include <cstdint>

namespace dirsync {

constexpr size_t kLargestPooledBlock = 512;

// A zero-filled block of size bytes, aligned to 8; throws std::bad_alloc as
// operator new does.
uint8_t* AllocateRecordBlock(size_t size);

// Frees a block from AllocateRecordBlock (nullptr is ignored). The block's
// contents, its length field included, need not be intact.
void FreeRecordBlock(uint8_t* block);

// Bytes of slabs held for pooled blocks (in use or on free lists), for
// tests and benchmarks; 0 under AddressSanitizer.
size_t RecordSlabBytes();

}  // namespace dirsync

#endif  // DIRSYNC_CATALOG_RECORD_BLOCKS_H_
