// StoredPassword: the enciphered form in which the service account's
// password is kept.
//
// The stored text is 64 hexadecimal digits: 32 bytes of RC4 ciphertext. The
// RC4 key is derived from the MD5 hash of a fixed 26-character pass phrase
// the way the platform's base cryptographic provider derives a default
// 40-bit key: the first 5 bytes of the hash followed by 11 zero bytes. The
// plaintext is the password followed by NUL bytes up to 32 bytes.
//
// The pass phrase is assembled at run time so that it is not one plain
// string in the binary; it keeps the password from casual view only. What
// protects it is who may read the stored value.
#ifndef LINKCORE_SRC_STORED_PASSWORD_H_
#define LINKCORE_SRC_STORED_PASSWORD_H_

#include <cstddef>
#include <string>
#include <string_view>

class StoredPassword {
 public:
  static constexpr size_t kCipherBytes = 32;
  static constexpr size_t kTextDigits = 2 * kCipherBytes;

  enum class Result {
    kOk,
    kMalformed,    // not 64 hexadecimal digits (trailing blanks allowed)
    kCipherError,  // the cipher could not be set up or run
  };

  // Deciphers stored text into the password (up to its first NUL, at most
  // 32 bytes). Thread safe.
  static Result Decode(std::string_view text, std::string* password);

  // Enciphers a password of 1 to 32 bytes without NUL into stored text
  // (lowercase digits). kMalformed for any other password. Thread safe.
  static Result Encode(std::string_view password, std::string* text);
};

#endif  // LINKCORE_SRC_STORED_PASSWORD_H_
