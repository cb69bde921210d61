#include "platform/drive_map.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace dirsync {
namespace {

using testing::LogCapture;
using testing::TempDir;

TEST(DriveMapTest, LettersMapInEitherCaseWithADefaultUnderMnt) {
  DriveMap map;
  EXPECT_EQ(map.DirectoryOf('d'), "/mnt/d");
  EXPECT_EQ(map.DirectoryOf('D'), "/mnt/d");
  EXPECT_EQ(map.DirectoryOf('1'), "");

  EXPECT_TRUE(map.Set('d', "/srv/share//"));
  EXPECT_EQ(map.DirectoryOf('D'), "/srv/share");
  EXPECT_TRUE(map.Set('R', "/"));
  EXPECT_EQ(map.DirectoryOf('r'), "/");

  // Refused mappings change nothing.
  EXPECT_FALSE(map.Set('E', ""));
  EXPECT_FALSE(map.Set('E', "relative/dir"));
  EXPECT_FALSE(map.Set('?', "/srv"));
  EXPECT_EQ(map.DirectoryOf('E'), "/mnt/e");
}

class DriveMapOnDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    volume_ = dir_.MakeDir("vol");
    dir_.Write("vol/Share/Docs/Readme.TXT", "x");
    dir_.MakeDir("vol/Share/Docs/Sub Dir");
    ASSERT_TRUE(map_.Set('D', volume_));
  }

  std::string Linux(std::string_view windowsPath) {
    std::string out;
    EXPECT_TRUE(map_.ToLinuxPath(windowsPath, &out)) << windowsPath;
    return out;
  }

  TempDir dir_;
  std::string volume_;
  DriveMap map_;
};

TEST_F(DriveMapOnDiskTest, WindowsPathsResolveComponentsIgnoringCase) {
  EXPECT_EQ(Linux("D:\\SHARE\\DOCS\\README.TXT"),
            volume_ + "/Share/Docs/Readme.TXT");
  EXPECT_EQ(Linux("d:\\share\\docs\\sub dir"), volume_ + "/Share/Docs/Sub Dir");
  EXPECT_EQ(Linux("\\\\?\\D:\\Share\\Docs\\readme.txt"),
            volume_ + "/Share/Docs/Readme.TXT");
  EXPECT_EQ(Linux("D:\\SHARE\\DOCS\\"), volume_ + "/Share/Docs");
  EXPECT_EQ(Linux("D:\\"), volume_);
  EXPECT_EQ(Linux("D:"), volume_);
  // '/' separates components as '\' does.
  EXPECT_EQ(Linux("D:/share/DOCS/readme.txt"),
            volume_ + "/Share/Docs/Readme.TXT");
}

TEST_F(DriveMapOnDiskTest, ExactNamesWinAndMissingPartsAreKeptAsGiven) {
  dir_.MakeDir("vol/Share/docs");  // beside "Docs"
  EXPECT_EQ(Linux("D:\\SHARE\\docs"), volume_ + "/Share/docs");
  EXPECT_EQ(Linux("D:\\SHARE\\Docs"), volume_ + "/Share/Docs");
  // Once a component is missing, the rest cannot be looked up.
  EXPECT_EQ(Linux("D:\\share\\NEW\\Readme.TXT"),
            volume_ + "/Share/NEW/Readme.TXT");
}

TEST_F(DriveMapOnDiskTest, DotDotNeverClimbsAboveTheDrive) {
  EXPECT_EQ(Linux("D:\\..\\..\\etc\\passwd"), volume_ + "/etc/passwd");
  EXPECT_EQ(Linux("D:\\Share\\.\\..\\share\\docs"), volume_ + "/Share/Docs");
}

TEST_F(DriveMapOnDiskTest, PathsWithoutADriveLetterAreRefused) {
  std::string out = "untouched";
  EXPECT_FALSE(map_.ToLinuxPath("\\\\server\\share\\x", &out));
  EXPECT_FALSE(map_.ToLinuxPath("Share\\Docs", &out));
  EXPECT_FALSE(map_.ToLinuxPath("1:\\x", &out));
  EXPECT_FALSE(map_.ToLinuxPath("", &out));
  EXPECT_EQ(out, "untouched");
}

TEST_F(DriveMapOnDiskTest, LinuxPathsConvertToTheFinalPathForm) {
  std::string out;
  ASSERT_TRUE(map_.ToWindowsPath(volume_ + "/Share/Docs/Readme.TXT", &out));
  EXPECT_EQ(out, "\\\\?\\D:\\Share\\Docs\\Readme.TXT");
  ASSERT_TRUE(map_.ToWindowsPath(volume_, &out));
  EXPECT_EQ(out, "\\\\?\\D:\\");
  ASSERT_TRUE(map_.ToWindowsPath(volume_ + "/", &out));
  EXPECT_EQ(out, "\\\\?\\D:\\");

  // And back again to the same file.
  ASSERT_TRUE(map_.ToWindowsPath(volume_ + "/Share/Docs/Sub Dir", &out));
  EXPECT_EQ(Linux(out), volume_ + "/Share/Docs/Sub Dir");
}

TEST_F(DriveMapOnDiskTest, PathsOutsideEveryMappedDirectoryAreRefused) {
  std::string out = "untouched";
  EXPECT_FALSE(map_.ToWindowsPath(dir_.path() + "elsewhere/a.txt", &out));
  // Sharing a prefix of characters is not lying inside.
  EXPECT_FALSE(map_.ToWindowsPath(volume_ + "2/a.txt", &out));
  EXPECT_FALSE(map_.ToWindowsPath("relative/a.txt", &out));
  EXPECT_EQ(out, "untouched");
  // A letter's default directory is still a mapped one.
  ASSERT_TRUE(map_.ToWindowsPath("/mnt/c/x", &out));
  EXPECT_EQ(out, "\\\\?\\C:\\x");
}

TEST_F(DriveMapOnDiskTest, NestedMappingsTakeTheLongestDirectory) {
  ASSERT_TRUE(map_.Set('E', volume_ + "/Share"));
  std::string out;
  ASSERT_TRUE(map_.ToWindowsPath(volume_ + "/Share/Docs", &out));
  EXPECT_EQ(out, "\\\\?\\E:\\Docs");
  ASSERT_TRUE(map_.ToWindowsPath(volume_ + "/Other", &out));
  EXPECT_EQ(out, "\\\\?\\D:\\Other");
}

TEST(DriveSectionTest, LoadsLettersOfEitherCaseAndLogsBadEntries) {
  ProfileFile profile;
  profile.Parse(
      "[Drives]\n"
      "d = /srv/share/\n"
      "E=/srv/e\n"
      "D = /srv/later\n"  // a repeat: the first key counts
      "foo = /x\n"
      "F = relative\n"
      "G =\n");
  LogCapture log;
  DriveMap map;
  EXPECT_EQ(LoadDriveSection(profile, &map), 2);
  EXPECT_EQ(map.DirectoryOf('D'), "/srv/share");
  EXPECT_EQ(map.DirectoryOf('e'), "/srv/e");
  EXPECT_EQ(map.DirectoryOf('F'), "/mnt/f");
  EXPECT_EQ(map.DirectoryOf('G'), "/mnt/g");
  EXPECT_EQ(log.CountWith({"[drives]", "foo", "not a drive letter"}), 1u);
  EXPECT_EQ(log.CountWith({"[drives]", "F = \"relative\""}), 1u);
  EXPECT_EQ(log.CountWith({"[drives]", "G = \"\""}), 1u);
}

}  // namespace
}  // namespace dirsync
