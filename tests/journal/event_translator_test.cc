// The translator's judgement of events that carry only the entry's own
// handle, driven with crafted events and a resolver whose volume descriptor
// opens nothing, so that every open by handle fails with an error other
// than ESTALE, as it can for a file whose inode is being freed.
#include "journal/event_translator.h"

#include <linux/fanotify.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dirsync {
namespace {

constexpr uint64_t kVolumeRef = 1;
constexpr uint64_t kFile = 500;

class TranslatorWithFailingOpensTest : public ::testing::Test {
 protected:
  TranslatorWithFailingOpensTest()
      : resolver_(UniqueFd(),
                  FileHandleCodec::ForLayout(
                      FileHandleCodec::Layout::kInodeGeneration8, 1),
                  "/nonexistent/volume", 'J', kVolumeRef, 0, drives_),
        translator_(&resolver_, 0) {
    // Seen inside the volume before: a deletion of it is wanted.
    resolver_.Remember(kFile, kVolumeRef, "replaced");
  }

  std::vector<JournalRecord> Translate(uint64_t mask) {
    FanotifyEvent event;
    event.mask = mask;
    event.pid = 4242;
    event.hasObject = true;
    event.object = kFile;
    JournalBatch batch;
    bool overflowed = false;
    translator_.Translate({event}, &batch, &overflowed);
    EXPECT_FALSE(overflowed);
    return batch.records;
  }

  DriveMap drives_;
  EntryResolver resolver_;
  JournalEventTranslator translator_;
};

// A file replaced by a rename is reported by its handle alone; when the
// kernel also says DELETE_SELF, the entry is gone whatever the open says.
TEST_F(TranslatorWithFailingOpensTest, DeleteSelfMakesADeletionWhenTheOpenFails) {
  for (uint64_t mask : {uint64_t{FAN_DELETE_SELF},
                        uint64_t{FAN_ATTRIB | FAN_DELETE_SELF}}) {
    SCOPED_TRACE(mask);
    resolver_.Remember(kFile, kVolumeRef, "replaced");
    std::vector<JournalRecord> records = Translate(mask);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].fileRef, kFile);
    EXPECT_TRUE(records[0].deleted);
    EXPECT_EQ(records[0].parentRef, kVolumeRef);
    EXPECT_EQ(records[0].name, "replaced");
    // Recorded gone, it leaves the name memory: churn cannot fill it.
    uint64_t parent = 0;
    std::string name;
    EXPECT_FALSE(resolver_.Recall(kFile, &parent, &name));
  }
}

// Without DELETE_SELF a failed open proves nothing: no deletion is made up.
TEST_F(TranslatorWithFailingOpensTest, AFailedOpenAloneIsNoDeletion) {
  for (const JournalRecord& r : Translate(FAN_ATTRIB)) {
    EXPECT_FALSE(r.deleted);
  }
}

}  // namespace
}  // namespace dirsync
