#include "catalog/sync_task.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/test_support.h"

namespace dirsync {
namespace {

std::unique_ptr<SyncTask> TaskWith(const std::string& root,
                                   const std::string& excludeText) {
  auto task = std::make_unique<SyncTask>();
  task->rootPath = root;
  task->excludes = SplitExcludes(excludeText);
  return task;
}

TEST(SplitExcludesTest, KeepsEveryPieceInOrderEmptyOnesIncluded) {
  EXPECT_EQ(SplitExcludes(""), (std::vector<std::string>{""}));
  EXPECT_EQ(SplitExcludes("a;;b"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(SplitExcludes("tmp;build\\out;"),
            (std::vector<std::string>{"tmp", "build\\out", ""}));
}

TEST(IsExcludedTest, AnEntryExcludesItsPathAndEverythingBelowIgnoringCase) {
  auto task = TaskWith("D:\\DATA\\", "Temp");
  EXPECT_TRUE(IsExcluded(*task, "Temp"));
  EXPECT_TRUE(IsExcluded(*task, "temp\\x.log"));
  EXPECT_TRUE(IsExcluded(*task, "TEMP\\a\\b"));
  EXPECT_FALSE(IsExcluded(*task, "Temp2\\x.log"));
  EXPECT_FALSE(IsExcluded(*task, "Tem"));
  EXPECT_FALSE(IsExcluded(*task, "a\\Temp\\x"));
}

TEST(IsExcludedTest, NestedEntriesAndEntriesThatExcludeNothing) {
  auto task = TaskWith("D:\\DATA\\", "build\\out;;Cache\\");
  EXPECT_TRUE(IsExcluded(*task, "BUILD\\OUT\\x.o"));
  EXPECT_FALSE(IsExcluded(*task, "build\\output"));
  EXPECT_FALSE(IsExcluded(*task, "build"));
  // An entry ending in a backslash and an empty entry exclude nothing.
  EXPECT_FALSE(IsExcluded(*task, "Cache\\x"));
  EXPECT_FALSE(IsExcluded(*task, "Cache"));
  EXPECT_FALSE(IsExcluded(*task, "a.txt"));
  EXPECT_FALSE(IsExcluded(*task, ""));
  EXPECT_FALSE(IsExcluded(*TaskWith("D:\\", ""), ""));
}

TEST(BelowRootTest, FinalPathsBelowTheRootIgnoringCase) {
  auto task = TaskWith("D:\\DATA\\", "");
  EXPECT_TRUE(IsBelowRoot(*task, "\\\\?\\D:\\DATA\\a.txt"));
  EXPECT_TRUE(IsBelowRoot(*task, "\\\\?\\d:\\Data\\Sub\\b.txt"));
  EXPECT_EQ(RelativePath(*task, "\\\\?\\d:\\Data\\Sub\\b.txt"), "Sub\\b.txt");
  // The root itself, a sibling sharing its letters, another drive.
  EXPECT_FALSE(IsBelowRoot(*task, "\\\\?\\D:\\DATA"));
  EXPECT_FALSE(IsBelowRoot(*task, "\\\\?\\D:\\DATA2\\a.txt"));
  EXPECT_FALSE(IsBelowRoot(*task, "\\\\?\\C:\\DATA\\a.txt"));
  EXPECT_FALSE(IsBelowRoot(*task, ""));
}

TEST(FindEntryTest, DeletedEntriesAreStillFound) {
  SyncTask task;
  CatalogRecord r = CatalogRecord::Allocate(kRecordHeaderSize + 6);
  r.set_fileRef(42);
  r.set_state(StateDeleted);
  ReaderLock lock(&task.catalogLock);
  task.entries.emplace(42, std::move(r));
  const CatalogRecord* found = FindEntry(task, 42);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->state(), StateDeleted);
  EXPECT_EQ(found->length(), kRecordHeaderSize + 6);
  EXPECT_EQ(FindEntry(task, 43), nullptr);
}

}  // namespace
}  // namespace dirsync
