// The Server object: its table of volumes and tasks.
#include "app/server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace dirsync {
namespace {

class FindTaskTest : public ::testing::Test {
 protected:
  FindTaskTest() : server_(Options()) {}
  static Server::Options Options() {
    Server::Options options;
    options.programDirectory = "/nonexistent/";
    return options;
  }
  SyncTask* Add(char drive, const std::string& name) {
    bool created = false;
    VolumeWatch& v = server_.VolumeFor(drive, 10000, &created);
    auto task = std::make_unique<SyncTask>();
    task->name = name;
    SyncTask* raw = task.get();
    v.tasks[name] = std::move(task);
    return raw;
  }
  Server server_;
};

TEST_F(FindTaskTest, ExactNameOnTheLowestDriveWins) {
  SyncTask* onD = Add('D', "docs");
  SyncTask* onC = Add('C', "docs");
  SyncTask* other = Add('E', "Other");
  EXPECT_EQ(server_.FindTask("docs"), onC);
  EXPECT_NE(server_.FindTask("docs"), onD);
  EXPECT_EQ(server_.FindTask("Other"), other);
  EXPECT_EQ(server_.FindTask("other"), nullptr);
  EXPECT_EQ(server_.FindTask(""), nullptr);
  EXPECT_EQ(server_.DriveOfTaskName("docs", 'C'), 'D');
  EXPECT_EQ(server_.VolumeCount(), 3);
}

}  // namespace
}  // namespace dirsync
