#include "share_connector.h"

#include <libsmbclient.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

namespace {

// Longest wait for the server's answer.
constexpr int kTimeoutMs = 10000;

struct Credentials {
  std::string domain;
  std::string user;
  std::string password;
};

void CopyField(const std::string& value, char* out, int size) {
  if (size <= 0) return;
  const size_t n = std::min(value.size(), static_cast<size_t>(size - 1));
  std::memcpy(out, value.data(), n);
  out[n] = '\0';
}

void SupplyCredentials(SMBCCTX* context, const char*, const char*,
                       char* workgroup, int workgroupSize, char* user,
                       int userSize, char* password, int passwordSize) {
  const auto* credentials =
      static_cast<const Credentials*>(smbc_getOptionUserData(context));
  if (!credentials->domain.empty()) {
    CopyField(credentials->domain, workgroup, workgroupSize);
  }
  CopyField(credentials->user, user, userSize);
  CopyField(credentials->password, password, passwordSize);
}

Credentials SplitCredentials(const char* user, const char* password) {
  Credentials credentials;
  std::string_view name = user != nullptr ? user : "";
  const size_t slash = name.find('\\');
  if (slash != std::string_view::npos) {
    credentials.domain = name.substr(0, slash);
    name.remove_prefix(slash + 1);
  }
  credentials.user = name;
  credentials.password = password != nullptr ? password : "";
  return credentials;
}

struct ContextFree {
  void operator()(SMBCCTX* context) const { smbc_free_context(context, 1); }
};

}  // namespace

bool ShareConnector::ToUrl(const char* remoteName, std::string* url) {
  if (remoteName == nullptr) return false;
  std::string_view name = remoteName;
  if (name.size() < 3 || name[0] != '\\' || name[1] != '\\' ||
      name[2] == '\\') {
    return false;
  }
  name.remove_prefix(2);
  *url = "smb://";
  for (char c : name) *url += c == '\\' ? '/' : c;
  return true;
}

int ShareConnector::Connect(const char* remoteName, const char* user,
                            const char* password) {
  std::string url;
  if (!ToUrl(remoteName, &url)) return EINVAL;

  // libsmbclient keeps process-wide state (its start-up, its talloc stack
  // frames) that is only guarded when a thread implementation is
  // registered, and this build of it offers no way to register one. So one
  // share connection runs at a time; this lock's only purpose is that, and
  // it is held across the connection attempt (bounded by kTimeoutMs).
  static std::mutex libraryLock;
  std::lock_guard<std::mutex> lock(libraryLock);

  Credentials credentials = SplitCredentials(user, password);
  std::unique_ptr<SMBCCTX, ContextFree> context(smbc_new_context());
  if (!context) return errno != 0 ? errno : ENOMEM;
  smbc_setDebug(context.get(), 0);
  smbc_setTimeout(context.get(), kTimeoutMs);
  smbc_setOptionUserData(context.get(), &credentials);
  smbc_setFunctionAuthDataWithContext(context.get(), SupplyCredentials);
  smbc_setOptionNoAutoAnonymousLogin(context.get(), 1);
  if (smbc_init_context(context.get()) == nullptr) {
    const int rc = errno;
    return rc != 0 ? rc : EIO;
  }
  errno = 0;
  SMBCFILE* directory =
      smbc_getFunctionOpendir(context.get())(context.get(), url.c_str());
  if (directory == nullptr) {
    const int rc = errno;
    return rc != 0 ? rc : EIO;
  }
  smbc_getFunctionClosedir(context.get())(context.get(), directory);
  return 0;
}
