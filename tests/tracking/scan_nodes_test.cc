#include "tracking/scan_nodes.h"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace dirsync {
namespace {

// References shaped as the journal packs them (generation above, inode
// below), so that many share their low or high halves.
uint64_t Ref(uint64_t i) { return ((i * 7919) % 65536) << 32 | (i * 4096); }

TEST(ScanNodesTest, FindsEveryReferenceInTheOrderMetAcrossGrowth) {
  ScanNodes<uint64_t> nodes;
  auto [first, firstAdded] = nodes.try_emplace(Ref(0));
  ASSERT_TRUE(firstAdded);
  *first = 1000;
  const int kCount = 20000;  // several doublings of the index
  for (uint64_t i = 1; i < kCount; ++i) {
    auto [node, added] = nodes.try_emplace(Ref(i));
    ASSERT_TRUE(added) << i;
    *node = i + 1000;
  }
  EXPECT_EQ(nodes.size(), static_cast<size_t>(kCount));
  // A node stays where it is as others are added.
  EXPECT_EQ(nodes.find(Ref(0)), first);
  for (uint64_t i = 0; i < kCount; ++i) {
    uint64_t* found = nodes.find(Ref(i));
    ASSERT_NE(found, nullptr) << i;
    EXPECT_EQ(*found, i + 1000);
    auto [again, added] = nodes.try_emplace(Ref(i));
    EXPECT_FALSE(added);
    EXPECT_EQ(again, found);
  }
  EXPECT_EQ(nodes.find(Ref(kCount)), nullptr);
  uint64_t next = 0;
  for (auto& [ref, value] : nodes) {
    ASSERT_EQ(ref, Ref(next));
    EXPECT_EQ(value, next + 1000);
    ++next;
  }
  EXPECT_EQ(next, static_cast<uint64_t>(kCount));
}

}  // namespace
}  // namespace dirsync
