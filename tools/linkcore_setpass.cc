// linkcore-setpass: stores the service account's password, enciphered, in
// the value that KRL_LocalLogin reads (Software\Quillon\KRService\LOCAL
// below /etc/linkcore/hklm, or below $LINKCORE_HKLM).
//
//   linkcore-setpass           reads the password (first line of standard
//                              input; asked for without echo on a terminal)
//                              and stores it
//   linkcore-setpass --print   prints the enciphered text instead
//
// The password is 1 to 32 bytes. Exit code 0 on success, 1 on failure, 2 on
// wrong usage.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "registry_value.h"
#include "stored_password.h"

namespace {

constexpr const char* kPasswordKey = "Software\\Quillon\\KRService";
constexpr const char* kPasswordValue = "LOCAL";

bool ReadPassword(std::string* password) {
  const bool terminal = isatty(STDIN_FILENO) == 1;
  termios saved{};
  if (terminal) {
    std::fputs("Password: ", stderr);
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, *password));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
  }
  if (!password->empty() && password->back() == '\r') password->pop_back();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  bool print = false;
  if (argc == 2 && std::strcmp(argv[1], "--print") == 0) {
    print = true;
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: %s [--print] < password\n", argv[0]);
    return 2;
  }

  std::string password;
  if (!ReadPassword(&password)) {
    std::fputs("linkcore-setpass: no password on standard input\n", stderr);
    return 1;
  }
  std::string text;
  switch (StoredPassword::Encode(password, &text)) {
    case StoredPassword::Result::kOk:
      break;
    case StoredPassword::Result::kMalformed:
      std::fprintf(stderr,
                   "linkcore-setpass: the password must be 1 to %zu bytes\n",
                   StoredPassword::kCipherBytes);
      return 1;
    case StoredPassword::Result::kCipherError:
      std::fputs("linkcore-setpass: RC4 or MD5 is not available (is "
                 "OpenSSL's legacy provider installed?)\n",
                 stderr);
      return 1;
  }

  if (print) {
    std::printf("%s\n", text.c_str());
    return 0;
  }
  const RegistryValue value(kPasswordKey, kPasswordValue);
  if (const int rc = value.Write(text + "\n"); rc != 0) {
    std::fprintf(stderr, "linkcore-setpass: cannot write %s: %s\n",
                 value.path().c_str(), std::strerror(rc));
    return 1;
  }
  std::fprintf(stderr, "linkcore-setpass: stored in %s\n",
               value.path().c_str());
  return 0;
}
