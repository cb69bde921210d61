#include "journal/name_memory.h"

#include <gtest/gtest.h>

namespace dirsync {
namespace {

TEST(NameMemoryTest, RemembersTheLatestPlace) {
  NameMemory memory;
  uint64_t parent = 0;
  std::string name;
  EXPECT_FALSE(memory.Recall(1, &parent, &name));
  memory.Remember(1, 10, "a");
  memory.Remember(1, 11, "b");
  ASSERT_TRUE(memory.Recall(1, &parent, &name));
  EXPECT_EQ(parent, 11u);
  EXPECT_EQ(name, "b");
  memory.Forget(1);
  EXPECT_FALSE(memory.Recall(1, &parent, &name));
}

TEST(NameMemoryTest, StaysWithinTwoGenerationsAndKeepsTheRecent) {
  NameMemory memory(2);
  memory.Remember(1, 0, "one");
  memory.Remember(2, 0, "two");
  memory.Remember(3, 0, "three");  // {1,2} become old
  uint64_t parent;
  std::string name;
  EXPECT_TRUE(memory.Recall(1, &parent, &name));
  // Seen again: moves to the young generation with its new place, and the
  // old place must not come back when the young one rolls over.
  memory.Remember(2, 5, "two-again");
  memory.Remember(4, 0, "four");  // {3,2} become old, {1} dropped
  EXPECT_FALSE(memory.Recall(1, &parent, &name));
  ASSERT_TRUE(memory.Recall(2, &parent, &name));
  EXPECT_EQ(name, "two-again");
  EXPECT_EQ(parent, 5u);
  for (uint64_t i = 10; i < 100; ++i) {
    memory.Remember(i, 0, "x");
    EXPECT_LE(memory.size(), 4u);
  }
  EXPECT_TRUE(memory.Recall(99, &parent, &name));
  EXPECT_TRUE(memory.Recall(98, &parent, &name));
}

}  // namespace
}  // namespace dirsync
