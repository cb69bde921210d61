#include "journal/file_handle.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

#include "platform/little_endian.h"

namespace dirsync {
namespace {

using Layout = FileHandleCodec::Layout;

TEST(FileHandleCodecTest, EightByteHandlesPackAsTheyAre) {
  FileHandleCodec codec = FileHandleCodec::ForLayout(Layout::kInodeGeneration8, 1);
  unsigned char bytes[8];
  StoreLE32(bytes, 0x1234);         // inode
  StoreLE32(bytes + 4, 0xabcdef01);  // generation
  uint64_t ref = 0;
  ASSERT_TRUE(codec.Pack(1, bytes, 8, &ref));
  EXPECT_EQ(ref, 0xabcdef0100001234ULL);
  FileHandleBuffer back;
  codec.Unpack(ref, &back);
  EXPECT_EQ(back.get()->handle_bytes, 8u);
  EXPECT_EQ(back.get()->handle_type, 1);
  EXPECT_EQ(std::memcmp(back.get()->f_handle, bytes, 8), 0);
  EXPECT_FALSE(codec.Pack(2, bytes, 8, &ref));   // another handle type
  EXPECT_FALSE(codec.Pack(1, bytes, 12, &ref));  // another size
}

TEST(FileHandleCodecTest, TwelveByteHandlesPackWhileTheHighInodeWordIsZero) {
  FileHandleCodec codec = FileHandleCodec::ForLayout(Layout::kGenerationInode12, 1);
  unsigned char bytes[12];
  StoreLE32(bytes, 0x55);      // generation
  StoreLE32(bytes + 4, 0x77);  // inode, low word
  StoreLE32(bytes + 8, 0);     // inode, high word
  uint64_t ref = 0;
  ASSERT_TRUE(codec.Pack(1, bytes, 12, &ref));
  EXPECT_EQ(ref, 0x0000005500000077ULL);  // inode | generation << 32
  FileHandleBuffer back;
  codec.Unpack(ref, &back);
  EXPECT_EQ(back.get()->handle_bytes, 12u);
  EXPECT_EQ(std::memcmp(back.get()->f_handle, bytes, 12), 0);
  StoreLE32(bytes + 8, 1);
  EXPECT_FALSE(codec.Pack(1, bytes, 12, &ref));
}

void ExpectLearns(const char* directory, Layout expected) {
  int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << directory << " is not here";
  FileHandleCodec codec;
  Status learned = codec.Learn(fd);
  ::close(fd);
  ASSERT_TRUE(learned.ok()) << learned.ToString();
  EXPECT_EQ(codec.layout(), expected);
}

TEST(FileHandleCodecTest, LearnsTheLayoutOfExt4AndTmpfs) {
  if (FilesystemTypeOfMount(-1) != "") FAIL();
  int fd = ::open("/tmp", O_RDONLY | O_DIRECTORY);
  FileHandleBuffer h;
  int mountId = -1;
  ASSERT_EQ(::name_to_handle_at(fd, "", h.get(), &mountId, AT_EMPTY_PATH), 0);
  ::close(fd);
  std::string type = FilesystemTypeOfMount(mountId);
  EXPECT_FALSE(type.empty());
  if (type == "ext4") ExpectLearns("/tmp", Layout::kInodeGeneration8);
  if (type == "tmpfs") ExpectLearns("/tmp", Layout::kGenerationInode12);
  ExpectLearns("/dev/shm", Layout::kGenerationInode12);
}

}  // namespace
}  // namespace dirsync
