// The logon functions: KRL_LocalLogin / KRL_RevertLogin with the stored
// password, tools/linkcore-setpass, and KRL_RemoteLogin.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "linkcore.h"

namespace linkcore_test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kAccount = "KRUSR_SERVICE";
// What linkcore-setpass stores for "secret": RC4 of "secret" and 26 NULs
// under the key derived from the library's pass phrase, computed apart
// from this code with the openssl command-line tool.
constexpr const char* kSecretEnciphered =
    "161692e9c6c3d9f56a8f77c62192197d492a16cebf76d0636e56d2f2485ffc90";

void* const kUntouched = reinterpret_cast<void*>(0x5A5A);

std::string RunCommand(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return output;
  }
  char buffer[256];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    output.append(buffer, got);
  }
  const int rc = pclose(pipe);
  *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return output;
}

// Each test gets a value store of its own (LINKCORE_HKLM) in a fresh
// temporary directory.
class LogonTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (fs::temp_directory_path() / "linkcore-logon-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    setenv("LINKCORE_HKLM", root_.c_str(), 1);
    valuePath_ = root_ / "Software" / "Quillon" / "KRService" / "LOCAL";
  }
  void TearDown() override {
    unsetenv("LINKCORE_HKLM");
    unsetenv("OPENSSL_MODULES");
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void WriteValue(const std::string& text) {
    fs::create_directories(valuePath_.parent_path());
    std::ofstream(valuePath_, std::ios::binary | std::ios::trunc) << text;
  }

  // Runs linkcore-setpass with password on its standard input.
  int Setpass(const std::string& password, const std::string& args = "",
              std::string* output = nullptr) {
    const fs::path input = root_ / "password-input";
    std::ofstream(input, std::ios::binary | std::ios::trunc) << password
                                                             << "\n";
    int status;
    std::string out = RunCommand(std::string(LINKCORE_SETPASS) + " " + args +
                                     " < " + input.string() + " 2>/dev/null",
                                 &status);
    fs::remove(input);
    if (output != nullptr) *output = out;
    return status;
  }

  // Makes OpenSSL's legacy provider (RC4) unloadable for this process.
  void BreakCipher() {
    const fs::path empty = root_ / "no-modules";
    fs::create_directories(empty);
    setenv("OPENSSL_MODULES", empty.c_str(), 1);
  }

  fs::path root_;
  fs::path valuePath_;
};

TEST_F(LogonTest, UnreadableValueGivesMinusOneBeforeTheCipher) {
  // With the cipher broken, reaching it would give -2.
  BreakCipher();
  void* token = kUntouched;
  EXPECT_EQ(KRL_LocalLogin(&token), -1) << "no key at all";
  fs::create_directories(valuePath_.parent_path());
  EXPECT_EQ(KRL_LocalLogin(&token), -1) << "key without the value";
  fs::create_directory(valuePath_);
  EXPECT_EQ(KRL_LocalLogin(&token), -1) << "value is a directory";
  fs::remove(valuePath_);
  WriteValue(std::string(kSecretEnciphered) + std::string(300, ' '));
  EXPECT_EQ(KRL_LocalLogin(&token), -1) << "value longer than 256 bytes";
  EXPECT_EQ(token, kUntouched);

  WriteValue(kSecretEnciphered);
  EXPECT_EQ(KRL_LocalLogin(&token), -2) << "the cipher was not broken";
  EXPECT_EQ(token, kUntouched);
}

TEST_F(LogonTest, ValueThatDoesNotDecipherGivesMinusTwo) {
  const std::string good = kSecretEnciphered;
  for (const std::string& text :
       {std::string(), std::string("not hex at all"), good.substr(0, 63),
        good + "0", good.substr(0, 62) + "zz", good + "  x"}) {
    WriteValue(text);
    void* token = kUntouched;
    EXPECT_EQ(KRL_LocalLogin(&token), -2) << "value \"" << text << "\"";
    EXPECT_EQ(token, kUntouched);
  }
}

TEST_F(LogonTest, SetpassStoresEncipheredPasswordReadableByOwnerOnly) {
  std::string printed;
  ASSERT_EQ(Setpass("secret", "--print", &printed), 0);
  EXPECT_EQ(printed, std::string(kSecretEnciphered) + "\n");

  ASSERT_EQ(Setpass("secret"), 0);
  std::ifstream stored(valuePath_);
  std::string text((std::istreambuf_iterator<char>(stored)),
                   std::istreambuf_iterator<char>());
  EXPECT_EQ(text, std::string(kSecretEnciphered) + "\n");
  struct stat info;
  ASSERT_EQ(stat(valuePath_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  EXPECT_EQ(Setpass(std::string(32, 'p'), "--print"), 0);
  EXPECT_EQ(Setpass(std::string(33, 'p'), "--print"), 1);
  EXPECT_EQ(Setpass("", "--print"), 1);
}

TEST_F(LogonTest, WrongPasswordGivesLogonFailureCode) {
  ASSERT_EQ(Setpass("certainly-not-the-password"), 0);
  const uid_t euidBefore = geteuid();
  void* token = kUntouched;
  const int rc = KRL_LocalLogin(&token);
  // Authentication fails; the account may also not exist on this machine.
  EXPECT_TRUE(rc == PAM_AUTH_ERR || rc == PAM_USER_UNKNOWN) << "rc " << rc;
  EXPECT_EQ(token, kUntouched);
  EXPECT_EQ(geteuid(), euidBefore);
}

TEST_F(LogonTest, RevertLoginRejectsNullToken) {
  EXPECT_EQ(KRL_RevertLogin(nullptr), EINVAL);
  EXPECT_EQ(KRL_LocalLogin(nullptr), EINVAL);
}

// ---- The service account, created for the test --------------------------

// The account has one fixed name for the whole machine, so runs of this
// test (the normal and the sanitizer build, other checkouts) take turns
// through a lock file. An account left by a crashed run is recognised by
// its comment and replaced; any other account of that name is left alone.
constexpr const char* kTestAccountComment = "linkcore test account";
constexpr const char* kAccountLockPath = "/tmp/linkcore-service-account.lock";

class ServiceAccount {
 public:
  ~ServiceAccount() {
    if (created_) Remove();
    if (lockFd_ >= 0) close(lockFd_);  // releases the lock
  }

  // Empty on success, else why the account could not be set up.
  std::string Create(const std::string& password) {
    if (geteuid() != 0) return "needs root";
    if (access("/usr/sbin/useradd", X_OK) != 0) return "no useradd";
    lockFd_ = open(kAccountLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0 || flock(lockFd_, LOCK_EX) != 0) return "no lock file";
    if (const passwd* existing = getpwnam(kAccount)) {
      if (std::string(existing->pw_gecos) != kTestAccountComment) {
        return "a real KRUSR_SERVICE account exists";
      }
      Remove();
    }
    int status;
    RunCommand(std::string("/usr/sbin/useradd -M -s /usr/sbin/nologin -G "
                           "users -c '") +
                   kTestAccountComment + "' " + kAccount + " 2>&1",
               &status);
    if (status != 0) return "useradd failed";
    created_ = true;
    RunCommand(std::string("echo '") + kAccount + ":" + password +
                   "' | /usr/sbin/chpasswd 2>&1",
               &status);
    if (status != 0) return "chpasswd failed";
    return "";
  }

 private:
  static void Remove() {
    int status;
    RunCommand(std::string("/usr/sbin/userdel ") + kAccount + " 2>&1",
               &status);
  }

  int lockFd_ = -1;
  bool created_ = false;
};

std::string RandomPassword() {
  std::random_device random;
  std::string password = "Lk-";
  for (int i = 0; i < 16; ++i) password += "abcdefghjkmnpqrstuvwxyz23456789"[random() % 31];
  return password;
}

std::vector<gid_t> ThreadGroups() {
  std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
  groups.resize(static_cast<size_t>(getgroups(static_cast<int>(groups.size()),
                                              groups.data())));
  std::sort(groups.begin(), groups.end());
  return groups;
}

TEST_F(LogonTest, RightPasswordImpersonatesCallingThreadOnlyUntilReverted) {
  const std::string password = RandomPassword();
  ServiceAccount account;
  if (std::string why = account.Create(password); !why.empty()) {
    GTEST_SKIP() << "cannot set up " << kAccount << ": " << why;
  }
  const passwd* entry = getpwnam(kAccount);
  ASSERT_NE(entry, nullptr);
  const uid_t accountUser = entry->pw_uid;
  const gid_t accountGroup = entry->pw_gid;
  const group* users = getgrnam("users");
  ASSERT_NE(users, nullptr);
  const gid_t usersGroup = users->gr_gid;

  // A file only root may read: the impersonating thread must be refused.
  const fs::path rootOnly = root_ / "root-only";
  std::ofstream(rootOnly) << "x";
  ASSERT_EQ(chmod(rootOnly.c_str(), 0600), 0);
  ASSERT_EQ(chmod(root_.c_str(), 0755), 0);

  // A wrong password first: the exact logon failure, nothing changed.
  ASSERT_EQ(Setpass("wrong-" + password), 0);
  void* token = kUntouched;
  EXPECT_EQ(KRL_LocalLogin(&token), PAM_AUTH_ERR);
  EXPECT_EQ(token, kUntouched);
  ASSERT_EQ(Setpass(password), 0);

  struct Observed {
    int login = -1;
    uid_t euid = 0, ruid = 0;
    gid_t egid = 0;
    std::vector<gid_t> groups;
    int openErrno = 0;
    int revertElsewhere = 0;
    int revert = -1;
    uid_t euidAfter = 1;
    gid_t egidAfter = 1;
    std::vector<gid_t> groupsAfter;
    bool openAfter = false;
    int dumpableAfter = 0;
  } seen;
  const std::vector<gid_t> groupsBefore = ThreadGroups();

  std::promise<void> loggedOn;
  std::promise<uid_t> otherThreadEuid;
  std::thread other([&] {
    loggedOn.get_future().wait();
    otherThreadEuid.set_value(geteuid());
  });
  std::promise<void*> tokenOut;
  std::promise<void> revertedElsewhere;
  std::thread impersonator([&] {
    void* handle = nullptr;
    seen.login = KRL_LocalLogin(&handle);
    tokenOut.set_value(handle);
    if (seen.login != 0) {
      loggedOn.set_value();
      return;
    }
    seen.euid = geteuid();
    seen.ruid = getuid();
    seen.egid = getegid();
    seen.groups = ThreadGroups();
    const int fd = open(rootOnly.c_str(), O_RDONLY | O_CLOEXEC);
    seen.openErrno = fd < 0 ? errno : 0;
    if (fd >= 0) close(fd);
    loggedOn.set_value();
    revertedElsewhere.get_future().wait();

    seen.revert = KRL_RevertLogin(handle);
    seen.euidAfter = geteuid();
    seen.egidAfter = getegid();
    seen.groupsAfter = ThreadGroups();
    const int again = open(rootOnly.c_str(), O_RDONLY | O_CLOEXEC);
    seen.openAfter = again >= 0;
    if (again >= 0) close(again);
    seen.dumpableAfter = prctl(PR_GET_DUMPABLE);
  });
  void* handle = tokenOut.get_future().get();
  const uid_t otherEuid = otherThreadEuid.get_future().get();
  // Another thread cannot end the impersonation; the token stays valid.
  seen.revertElsewhere = handle != nullptr ? KRL_RevertLogin(handle) : 0;
  revertedElsewhere.set_value();
  impersonator.join();
  other.join();

  ASSERT_EQ(seen.login, 0);
  EXPECT_EQ(seen.euid, accountUser);
  EXPECT_EQ(seen.ruid, 0u) << "the real user stays, to allow the revert";
  EXPECT_EQ(seen.egid, accountGroup);
  EXPECT_TRUE(std::binary_search(seen.groups.begin(), seen.groups.end(),
                                 accountGroup));
  EXPECT_TRUE(std::binary_search(seen.groups.begin(), seen.groups.end(),
                                 usersGroup));
  EXPECT_EQ(seen.openErrno, EACCES);
  EXPECT_EQ(otherEuid, 0u) << "another thread was impersonated too";
  EXPECT_EQ(geteuid(), 0u);
  EXPECT_EQ(seen.revertElsewhere, EINVAL);

  EXPECT_EQ(seen.revert, 0);
  EXPECT_EQ(seen.euidAfter, 0u);
  EXPECT_EQ(seen.egidAfter, 0u);
  EXPECT_EQ(seen.groupsAfter, groupsBefore);
  EXPECT_TRUE(seen.openAfter);
  EXPECT_EQ(seen.dumpableAfter, 1);
}

// ---- KRL_RemoteLogin ------------------------------------------------------

bool SomethingListensOn(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool listening =
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return listening;
}

TEST(RemoteLoginTest, UnreachableShareGivesErrnoAndItsTextBounded) {
  if (SomethingListensOn(445) || SomethingListensOn(139)) {
    GTEST_SKIP() << "an SMB server listens on 127.0.0.1";
  }
  char message[256];
  std::memset(message, 'Z', sizeof message);
  const int rc = KRL_RemoteLogin("\\\\127.0.0.1\\share", "user", "password",
                                 message, sizeof message);
  ASSERT_NE(rc, 0);
  EXPECT_STREQ(message, std::strerror(rc));

  // A small buffer gets the start of the text and its NUL, nothing more.
  char small[8 + 8];
  std::memset(small, 'Z', sizeof small);
  ASSERT_EQ(KRL_RemoteLogin("\\\\127.0.0.1\\share", "DOM\\user", "pw", small,
                            8),
            rc);
  EXPECT_EQ(std::string(small), std::string(std::strerror(rc)).substr(0, 7));
  for (size_t i = 8; i < sizeof small; ++i) EXPECT_EQ(small[i], 'Z') << i;

  // No room at all: nothing written.
  char none[4] = {'Z', 'Z', 'Z', 'Z'};
  EXPECT_EQ(KRL_RemoteLogin("\\\\127.0.0.1\\share", "user", "pw", none, 0),
            rc);
  EXPECT_EQ(std::string(none, 4), "ZZZZ");
}

TEST(RemoteLoginTest, NameNotInShareFormIsInvalid) {
  for (const char* name : {"127.0.0.1\\share", "\\\\", "\\\\\\x", ""}) {
    char message[128] = "";
    EXPECT_EQ(KRL_RemoteLogin(name, "u", "p", message, sizeof message),
              EINVAL)
        << name;
    EXPECT_STREQ(message, std::strerror(EINVAL));
  }
  char message[128] = "";
  EXPECT_EQ(KRL_RemoteLogin(nullptr, nullptr, nullptr, message,
                            sizeof message),
            EINVAL);
}

}  // namespace
}  // namespace linkcore_test
