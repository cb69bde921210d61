#include "pam_authenticator.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

namespace {

struct Credentials {
  const char* user;
  const char* password;
};

// Answers PAM's prompts: the password for hidden prompts, the user name for
// visible ones; messages need no answer.
int Converse(int count, const struct pam_message** messages,
             struct pam_response** responses, void* data) {
  const auto* credentials = static_cast<const Credentials*>(data);
  auto* answers = static_cast<pam_response*>(
      std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
  if (answers == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const char* answer = nullptr;
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF:
        answer = credentials->password;
        break;
      case PAM_PROMPT_ECHO_ON:
        answer = credentials->user;
        break;
      default:
        continue;
    }
    answers[i].resp = strdup(answer);
    if (answers[i].resp == nullptr) {
      for (int j = 0; j < i; ++j) std::free(answers[j].resp);
      std::free(answers);
      return PAM_BUF_ERR;
    }
  }
  *responses = answers;
  return PAM_SUCCESS;
}

// The password comes from the machine's own store, not from a person
// typing; the delay PAM adds after a failure to slow guessing would only
// stall the host's thread.
void NoFailDelay(int, unsigned, void*) {}

}  // namespace

int PamAuthenticator::Authenticate(const char* user, const char* password) {
  Credentials credentials{user, password};
  const pam_conv conversation{Converse, &credentials};
  pam_handle_t* handle = nullptr;
  int rc = pam_start(kService, user, &conversation, &handle);
  if (rc != PAM_SUCCESS) return rc;
  void (*noDelay)(int, unsigned, void*) = NoFailDelay;
  rc = pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<void*>(noDelay));
  if (rc == PAM_SUCCESS) rc = pam_authenticate(handle, PAM_SILENT);
  if (rc == PAM_SUCCESS) rc = pam_acct_mgmt(handle, PAM_SILENT);
  pam_end(handle, rc);
  return rc;
}
