#include "app/config.h"

#include <gtest/gtest.h>

#include <string>

#include "app/server.h"
#include "catalog/sync_task.h"
#include "platform/drive_map.h"
#include "support/test_support.h"
#include "tracking/volume_watch.h"

namespace dirsync {
namespace {

using testing::LogCapture;
using testing::TempDir;

class LoadTasksTest : public ::testing::Test {
 protected:
  void SetUp() override { NewServer(); }

  // A server with nothing loaded; its stores go beside the "program", here
  // the temp dir.
  void NewServer() {
    server_.reset();
    Server::Options options;
    options.programDirectory = dir_.path();
    server_ = std::make_unique<Server>(options);
  }

  int Load(const std::string& ini) {
    return LoadTasks(dir_.Write("dirsync.ini", ini), server_.get());
  }

  SyncTask* Task(char drive, const std::string& name) {
    VolumeWatch* v = server_->volume(drive);
    if (v == nullptr) return nullptr;
    auto it = v->tasks.find(name);
    return it == v->tasks.end() ? nullptr : it->second.get();
  }
  VolumeWatch* Volume(char drive) { return server_->volume(drive); }
  SyncTask* FindTask(const std::string& name) { return server_->FindTask(name); }

  std::string UsedSlots() {
    std::string letters;
    for (int i = 0; i < 128; ++i) {
      if (server_->volume(static_cast<char>(i)) != nullptr) {
        letters += static_cast<char>(i);
      }
    }
    return letters;
  }

  TempDir dir_;
  LogCapture log_;
  std::unique_ptr<Server> server_;
};

TEST_F(LoadTasksTest, OneTaskWithExcludesAndAPort) {
  ASSERT_EQ(Load("[task-1]\n"
                 "name = docs\n"
                 "path = d:\\share\\docs\n"
                 "exclude = tmp;build\\out\n"
                 "[DB]\n"
                 "PORT = 4000\n"),
            1);
  EXPECT_EQ(UsedSlots(), "D");
  VolumeWatch* v = Volume('D');
  EXPECT_EQ(v->driveLetter, 'D');
  EXPECT_EQ(v->timeout, 10000);
  EXPECT_EQ(v->tasks.size(), 1u);
  SyncTask* task = Task('D', "docs");
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(task->name, "docs");
  EXPECT_EQ(task->rootPath, "D:\\SHARE\\DOCS\\");
  EXPECT_EQ(task->excludes, (std::vector<std::string>{"tmp", "build\\out"}));
  EXPECT_FALSE(task->logDetail);
  EXPECT_EQ(ListenPort(dir_.path() + "dirsync.ini"), 4000);
}

TEST_F(LoadTasksTest, AGapInTheNumberingEndsTheList) {
  EXPECT_EQ(Load("[task-1]\nname=a\npath=C:\\a\n"
                 "[task-3]\nname=c\npath=D:\\c\n"),
            1);
  EXPECT_EQ(UsedSlots(), "C");
  EXPECT_EQ(FindTask("c"), nullptr);

  // A section without a path (or name) is a gap too.
  NewServer();
  EXPECT_EQ(Load("[task-1]\nname=a\npath=C:\\a\n"
                 "[task-2]\nname=b\n"
                 "[task-3]\nname=c\npath=D:\\c\n"),
            1);
  EXPECT_EQ(FindTask("c"), nullptr);
}

TEST_F(LoadTasksTest, NoUsableTaskSectionGivesNoVolume) {
  EXPECT_EQ(LoadTasks(dir_.path() + "absent.ini", server_.get()), 0);
  EXPECT_EQ(Load("[task-2]\nname=b\npath=C:\\b\n"), 0);
  EXPECT_EQ(Load("[task-1]\nname=\"\"\npath=C:\\b\n"), 0);
  EXPECT_EQ(UsedSlots(), "");
}

TEST_F(LoadTasksTest, PathsGetOneTrailingBackslashAndUpperCase) {
  EXPECT_EQ(NormaliseTaskPath("d:\\share"), "D:\\SHARE\\");
  EXPECT_EQ(NormaliseTaskPath("D:\\Share\\"), "D:\\SHARE\\");
  EXPECT_EQ(NormaliseTaskPath("d:"), "D:\\");
  // Only ASCII letters change; UTF-8 bytes stay as they are.
  EXPECT_EQ(NormaliseTaskPath("d:\\caf\xC3\xA9"), "D:\\CAF\xC3\xA9\\");

  ASSERT_EQ(Load("[task-1]\nname=a\npath=d:\\share\n"
                 "[task-2]\nname=b\npath=d:\\Other\\\n"),
            1);
  EXPECT_EQ(Task('D', "a")->rootPath, "D:\\SHARE\\");
  EXPECT_EQ(Task('D', "b")->rootPath, "D:\\OTHER\\");
}

TEST_F(LoadTasksTest, TheFirstSectionOnADriveSetsItsTimeout) {
  ASSERT_EQ(Load("[task-1]\nname=a\npath=D:\\a\ntimeout=5000\n"
                 "[task-2]\nname=b\npath=D:\\b\ntimeout=20000\n"
                 "[task-3]\nname=c\npath=E:\\c\ntimeout=-1\n"
                 "[task-4]\nname=d\npath=F:\\d\n"),
            3);
  EXPECT_EQ(Volume('D')->timeout, 5000);
  EXPECT_EQ(Volume('D')->tasks.size(), 2u);
  EXPECT_EQ(Volume('E')->timeout, -1);
  EXPECT_EQ(Volume('F')->timeout, 10000);
}

TEST_F(LoadTasksTest, VolumesFillTheSlotsOfTheirUpperCaseLetters) {
  ASSERT_EQ(Load("[task-1]\nname=d\npath=d:\\x\n"
                 "[task-2]\nname=c\npath=c:\\x\n"),
            2);
  // Slot order is drive-letter order, whatever the section order.
  EXPECT_EQ(UsedSlots(), "CD");
  EXPECT_EQ(Volume('C')->driveLetter, 'C');
  EXPECT_NE(Task('D', "d"), nullptr);
}

TEST_F(LoadTasksTest, ALaterSectionOfTheSameNameOnTheDriveReplacesTheTask) {
  ASSERT_EQ(Load("[task-1]\nname=docs\npath=D:\\first\nlogdetail=1\n"
                 "[task-2]\nname=docs\npath=D:\\second\n"),
            1);
  ASSERT_EQ(Volume('D')->tasks.size(), 1u);
  SyncTask* task = Task('D', "docs");
  EXPECT_EQ(task->rootPath, "D:\\SECOND\\");
  EXPECT_FALSE(task->logDetail);
  EXPECT_EQ(log_.CountWith({"[task-2]", "docs", "replaces"}), 1u);
}

TEST_F(LoadTasksTest, SectionsWithoutADriveLetterAreRejectedByName) {
  EXPECT_EQ(Load("[task-1]\nname=unc\npath=\\\\server\\share\n"
                 "[task-2]\nname=rel\npath=share\\docs\n"
                 "[task-3]\nname=utf\npath=\xC3\xBC:\\x\n"
                 "[task-4]\nname=drel\npath=D:share\n"
                 "[task-5]\nname=digit\npath=1:\\x\n"
                 "[task-6]\nname=ok\npath=E:\\ok\n"),
            1);
  // The rejected sections create no volume and the list goes on.
  EXPECT_EQ(UsedSlots(), "E");
  EXPECT_NE(FindTask("ok"), nullptr);
  for (const char* section :
       {"[task-1]", "[task-2]", "[task-3]", "[task-4]", "[task-5]"}) {
    EXPECT_EQ(log_.CountWith({section, "not loaded", "drive letter"}), 1u)
        << section;
  }
}

TEST_F(LoadTasksTest, ANameUsedOnAnotherDriveIsRejected) {
  ASSERT_EQ(Load("[task-1]\nname=docs\npath=D:\\docs\ntimeout=100\n"
                 "[task-2]\nname=docs\npath=C:\\docs\ntimeout=200\n"
                 "[task-3]\nname=more\npath=C:\\more\ntimeout=300\n"),
            2);
  EXPECT_EQ(Task('D', "docs")->rootPath, "D:\\DOCS\\");
  EXPECT_EQ(Task('C', "docs"), nullptr);
  EXPECT_EQ(log_.CountWith({"[task-2]", "docs", "not loaded", "D:"}), 1u);
  // The rejected section was not the first on C:.
  EXPECT_EQ(Volume('C')->timeout, 300);
}

TEST_F(LoadTasksTest, NamesWithPathSeparatorsAreRejected) {
  EXPECT_EQ(Load("[task-1]\nname=../etc\npath=D:\\x\n"
                 "[task-2]\nname=a\\b\npath=D:\\y\n"),
            0);
  EXPECT_EQ(log_.CountWith({"[task-1]", "not loaded", "separator"}), 1u);
  EXPECT_EQ(log_.CountWith({"[task-2]", "not loaded", "separator"}), 1u);
}

TEST_F(LoadTasksTest, LogDetailSubdirAndCutValues) {
  const std::string longName(300, 'n');
  ASSERT_EQ(Load("[task-1]\nname=a\npath=D:\\a\nlogdetail=-3\nsubdir=0\n"
                 "[task-2]\nname=" + longName + "\npath=D:\\b\n"),
            1);
  EXPECT_TRUE(Task('D', "a")->logDetail);
  EXPECT_NE(Task('D', std::string(258, 'n')), nullptr);
  EXPECT_EQ(log_.CountWith({"[task-2]", "\"name\"", "258", "cut"}), 1u);
}

TEST_F(LoadTasksTest, DrivesAreMappedAndMissingRootsReported) {
  const std::string volume = dir_.MakeDir("vol");
  dir_.MakeDir("vol/Docs");
  ASSERT_EQ(Load("[drives]\nd = " + volume + "\n"
                 "[task-1]\nname=docs\npath=D:\\docs\n"
                 "[task-2]\nname=gone\npath=D:\\gone\n"),
            1);
  EXPECT_EQ(server_->drives().DirectoryOf('D'), volume);
  EXPECT_EQ(log_.CountWith({"[task-1]", "not a directory"}), 0u);
  EXPECT_EQ(log_.CountWith({"[task-2]", "not a directory"}), 1u);
}

TEST_F(LoadTasksTest, AConfigurationThatCannotBeReadIsReported) {
  dir_.MakeDir("dirsync.ini");  // a directory where the file should be
  EXPECT_EQ(LoadTasks(dir_.path() + "dirsync.ini", server_.get()), 0);
  EXPECT_EQ(log_.CountWith({"dirsync.ini cannot be read"}), 1u);
  EXPECT_EQ(LoadTasks(dir_.path() + "absent.ini", server_.get()), 0);
  EXPECT_EQ(log_.CountWith({"absent.ini"}), 0u);
}

TEST_F(LoadTasksTest, BrokenLinesAreLoggedWithTheirNumbers) {
  EXPECT_EQ(Load("[task-1]\nname=a\npath=D:\\a\nwhat is this\n"), 1);
  EXPECT_EQ(log_.CountWith({"dirsync.ini line 4 ignored"}), 1u);
}

TEST(ListenPortTest, DefaultsTo333AndReportsImpossiblePorts) {
  LogCapture log;
  ProfileFile p;
  p.Parse("[task-1]\nname=a\n");
  EXPECT_EQ(ListenPort(p), 333);
  p.Parse("[db]\nport=70000\n");
  EXPECT_EQ(ListenPort(p), 70000);
  EXPECT_EQ(log.CountWith({"PORT 70000", "not a TCP port"}), 1u);
  EXPECT_EQ(ListenPort("/nonexistent/dirsync.ini"), 333);
}

TEST(MaxConnectionsTest, DefaultsTo1024AndRefusesValuesBelowOne) {
  LogCapture log;
  ProfileFile p;
  p.Parse("[task-1]\nname=a\n");
  EXPECT_EQ(MaxConnections(p), 1024);
  p.Parse("[DB]\nMaxConnections=50\n");
  EXPECT_EQ(MaxConnections(p), 50);
  p.Parse("[db]\nmaxconnections=0\n");
  EXPECT_EQ(MaxConnections(p), 1024);
  EXPECT_EQ(log.CountWith({"MAXCONNECTIONS 0 is below 1"}), 1u);
  EXPECT_EQ(MaxConnections("/nonexistent/dirsync.ini"), 1024);
}

TEST(ListenPortTest, AddressAndLoginTimeoutHaveDefaultsAndRefuseNonsense) {
  LogCapture log;
  ProfileFile p;
  p.Parse("[DB]\nPORT=1\n");
  EXPECT_EQ(ListenAddress(p), "");
  EXPECT_EQ(LoginTimeoutSeconds(p), 30);
  p.Parse("[db]\naddress = 127.0.0.1\nlogintimeout = 5\n");
  EXPECT_EQ(ListenAddress(p), "127.0.0.1");
  EXPECT_EQ(LoginTimeoutSeconds(p), 5);
  p.Parse("[DB]\nADDRESS=*\n");
  EXPECT_EQ(ListenAddress(p), "");
  p.Parse("[DB]\nADDRESS=host.example\n");
  EXPECT_EQ(ListenAddress(p), "host.example");
  p.Parse("[DB]\nADDRESS=10.0.0.1; rm\nLOGINTIMEOUT=0\n");
  EXPECT_EQ(ListenAddress(p), "");
  EXPECT_EQ(log.CountWith({"ADDRESS \"10.0.0.1; rm\" is not an IPv4 address"}), 1u);
  EXPECT_EQ(LoginTimeoutSeconds(p), 30);
  EXPECT_EQ(log.CountWith({"LOGINTIMEOUT 0 is not between 1 and 86400"}), 1u);
}

TEST(TlsSettingsTest, FilesComeFromTheProgramDirectoryAndBadPortsAreRefused) {
  LogCapture log;
  ProfileFile p;
  p.Parse("[DB]\nPORT=4000\n");
  TlsSettings none = ReadTlsSettings(p, "/opt/dirsync/");
  EXPECT_EQ(none.port, 0);
  EXPECT_TRUE(none.valid);

  p.Parse("[DB]\nPORT=4000\nTLSPORT=4001\nCERT=tls/server.pem\n"
          "KEY=/etc/keys/server-key.pem\nCLIENTCA=ca.pem\n");
  TlsSettings tls = ReadTlsSettings(p, "/opt/dirsync/");
  EXPECT_TRUE(tls.valid);
  EXPECT_EQ(tls.port, 4001);
  EXPECT_EQ(tls.certFile, "/opt/dirsync/tls/server.pem");
  EXPECT_EQ(tls.keyFile, "/etc/keys/server-key.pem");
  EXPECT_EQ(tls.clientCaFile, "/opt/dirsync/ca.pem");

  // Encryption asked for and not possible: not valid, so the server stops
  // instead of serving without it.
  p.Parse("[DB]\nPORT=4000\nTLSPORT=4000\nCERT=c\nKEY=k\n");
  EXPECT_FALSE(ReadTlsSettings(p, "/d/").valid);
  EXPECT_EQ(log.CountWith({"TLSPORT 4000 is the plain PORT too"}), 1u);
  p.Parse("[DB]\nTLSPORT=70000\nCERT=c\nKEY=k\n");
  EXPECT_FALSE(ReadTlsSettings(p, "/d/").valid);
  EXPECT_EQ(log.CountWith({"TLSPORT 70000 is not a TCP port"}), 1u);
  p.Parse("[DB]\nTLSPORT=4001\nCERT=c\n");
  TlsSettings noKey = ReadTlsSettings(p, "/d/");
  EXPECT_FALSE(noKey.valid);
  EXPECT_EQ(noKey.clientCaFile, "");
  EXPECT_EQ(log.CountWith({"TLSPORT 4001 needs CERT and KEY"}), 1u);
}

}  // namespace
}  // namespace dirsync
