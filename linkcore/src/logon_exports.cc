// The exported logon functions: the service-account logon with its stored
// password, its revert, and the connection of a network share.
#include <openssl/crypto.h>
#include <security/pam_appl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "linkcore.h"
#include "pam_authenticator.h"
#include "registry_value.h"
#include "share_connector.h"
#include "stored_password.h"
#include "thread_impersonation.h"

namespace {

constexpr const char* kServiceAccount = "KRUSR_SERVICE";
constexpr const char* kPasswordKey = "Software\\Quillon\\KRService";
constexpr const char* kPasswordValue = "LOCAL";

// Writes the system's text for errno code `code` into message, cut to
// size bytes including the terminating NUL.
void WriteErrorText(int code, char* message, unsigned int size) {
  if (message == nullptr || size == 0) return;
  char buffer[256];
  const char* text = strerror_r(code, buffer, sizeof buffer);
  const size_t n = std::min<size_t>(std::strlen(text), size - 1);
  std::memcpy(message, text, n);
  message[n] = '\0';
}

}  // namespace

extern "C" {

int KRL_LocalLogin(void** token) {
  if (token == nullptr) return EINVAL;
  std::string stored;
  if (!RegistryValue(kPasswordKey, kPasswordValue).Read(&stored)) return -1;
  std::string password;
  if (StoredPassword::Decode(stored, &password) !=
      StoredPassword::Result::kOk) {
    return -2;
  }
  const int authenticated =
      PamAuthenticator::Authenticate(kServiceAccount, password.c_str());
  OPENSSL_cleanse(password.data(), password.size());
  if (authenticated != PAM_SUCCESS) return authenticated;

  ThreadImpersonation* impersonation = nullptr;
  const int rc = ThreadImpersonation::Begin(kServiceAccount, &impersonation);
  if (rc != 0) return rc;
  *token = impersonation;
  return 0;
}

int KRL_RevertLogin(void* token) {
  if (token == nullptr) return EINVAL;
  auto* impersonation = static_cast<ThreadImpersonation*>(token);
  const int rc = impersonation->End();
  if (rc == 0) delete impersonation;
  return rc;
}

int KRL_RemoteLogin(const char* remoteName, const char* userName,
                    const char* password, char* message,
                    unsigned int messageSize) {
  const int rc = ShareConnector::Connect(remoteName, userName, password);
  if (rc != 0) WriteErrorText(rc, message, messageSize);
  return rc;
}

}  // extern "C"
