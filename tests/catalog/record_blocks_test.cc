#include "catalog/record_blocks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace dirsync {
namespace {

struct Block {
  uint8_t* bytes;
  size_t size;
  uint8_t mark;
};

void Fill(const Block& b) {
  for (size_t i = 0; i < b.size; ++i) b.bytes[i] = static_cast<uint8_t>(b.mark + i);
}

bool Intact(const Block& b) {
  for (size_t i = 0; i < b.size; ++i) {
    if (b.bytes[i] != static_cast<uint8_t>(b.mark + i)) return false;
  }
  return true;
}

bool Zeroed(const Block& b) {
  for (size_t i = 0; i < b.size; ++i) {
    if (b.bytes[i] != 0) return false;
  }
  return true;
}

// Blocks of every size a record takes, pooled and not, reused after frees
// in any order: none overlaps another, a new one is zero-filled, a block
// freed with its bytes (its length field too) scribbled over is still
// found, and the slabs go back once every block is freed.
TEST(RecordBlocksTest, BlocksKeepTheirBytesAndTheSlabsGoBack) {
  const size_t slabsBefore = RecordSlabBytes();
  std::vector<Block> blocks;
  uint8_t mark = 1;
  for (int round = 0; round < 3; ++round) {
    for (size_t size = 66; size <= kLargestPooledBlock + 80; size += 3) {
      Block b{AllocateRecordBlock(size), size, mark++};
      ASSERT_TRUE(Zeroed(b)) << size;
      Fill(b);
      blocks.push_back(b);
    }
  }
  // Free two of every three, their first bytes overwritten as a record's
  // length field may be.
  std::vector<Block> kept;
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (i % 3 == 0) {
      kept.push_back(blocks[i]);
    } else {
      blocks[i].bytes[0] = 0xFF;
      FreeRecordBlock(blocks[i].bytes);
    }
  }
  for (size_t size = 66; size <= kLargestPooledBlock + 80; size += 5) {
    Block b{AllocateRecordBlock(size), size, mark++};
    ASSERT_TRUE(Zeroed(b)) << size;
    Fill(b);
    kept.push_back(b);
  }
  for (const Block& b : kept) EXPECT_TRUE(Intact(b)) << b.size;
  for (const Block& b : kept) FreeRecordBlock(b.bytes);
  FreeRecordBlock(nullptr);
  EXPECT_EQ(RecordSlabBytes(), slabsBefore);
}

}  // namespace
}  // namespace dirsync
