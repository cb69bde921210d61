// PamAuthenticator: checks an account's password through PAM.
//
// Runs the "auth" and "account" stacks of the PAM service "linkcore"
// (/etc/pam.d/linkcore; without it PAM falls back to its "other" service),
// answering password prompts with the given password. Checking another
// account's password needs root.
#ifndef LINKCORE_SRC_PAM_AUTHENTICATOR_H_
#define LINKCORE_SRC_PAM_AUTHENTICATOR_H_

class PamAuthenticator {
 public:
  static constexpr const char* kService = "linkcore";

  // Returns PAM_SUCCESS (0) when user may log on with password, else the
  // PAM code of the failing step (e.g. PAM_AUTH_ERR, PAM_USER_UNKNOWN,
  // PAM_ACCT_EXPIRED). Thread safe.
  static int Authenticate(const char* user, const char* password);
};

#endif  // LINKCORE_SRC_PAM_AUTHENTICATOR_H_
