#include "stored_password.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <array>
#include <cstdint>
#include <memory>

namespace {

using Block = std::array<unsigned char, StoredPassword::kCipherBytes>;

std::string PassPhrase() {
  // 26 letters: each letter once, in a fixed shuffled order, every third
  // one upper case.
  std::string phrase;
  for (int i = 0; i < 26; ++i) {
    char c = static_cast<char>('a' + (i * 11 + 5) % 26);
    if (i % 3 == 0) c = static_cast<char>(c - 'a' + 'A');
    phrase += c;
  }
  return phrase;
}

struct LibraryContextFree {
  void operator()(OSSL_LIB_CTX* p) const { OSSL_LIB_CTX_free(p); }
};
struct ProviderUnload {
  void operator()(OSSL_PROVIDER* p) const { OSSL_PROVIDER_unload(p); }
};
struct DigestFree {
  void operator()(EVP_MD* p) const { EVP_MD_free(p); }
};
struct CipherFree {
  void operator()(EVP_CIPHER* p) const { EVP_CIPHER_free(p); }
};
struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};

// RC4 is its own inverse: the same transform enciphers and deciphers.
// RC4 lives in OpenSSL's legacy provider; it is loaded into a library
// context of our own so that the host's OpenSSL set-up stays untouched.
bool Rc4Transform(const Block& in, Block* out) {
  std::unique_ptr<OSSL_LIB_CTX, LibraryContextFree> library(
      OSSL_LIB_CTX_new());
  if (!library) return false;
  std::unique_ptr<OSSL_PROVIDER, ProviderUnload> legacy(
      OSSL_PROVIDER_load(library.get(), "legacy"));
  std::unique_ptr<OSSL_PROVIDER, ProviderUnload> standard(
      OSSL_PROVIDER_load(library.get(), "default"));
  if (!legacy || !standard) return false;
  std::unique_ptr<EVP_MD, DigestFree> md5(
      EVP_MD_fetch(library.get(), "MD5", nullptr));
  std::unique_ptr<EVP_CIPHER, CipherFree> rc4(
      EVP_CIPHER_fetch(library.get(), "RC4", nullptr));
  if (!md5 || !rc4) return false;

  const std::string phrase = PassPhrase();
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int hashLength = 0;
  if (EVP_Digest(phrase.data(), phrase.size(), hash, &hashLength, md5.get(),
                 nullptr) != 1 ||
      hashLength < 5) {
    return false;
  }
  // 40 bits of hash, 88 bits of zero salt: a 16-byte RC4 key.
  unsigned char key[16] = {};
  for (int i = 0; i < 5; ++i) key[i] = hash[i];
  if (EVP_CIPHER_get_key_length(rc4.get()) != sizeof key) return false;

  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(
      EVP_CIPHER_CTX_new());
  int produced = 0;
  int finalBytes = 0;
  if (!context ||
      EVP_CipherInit_ex2(context.get(), rc4.get(), key, nullptr, 0,
                         nullptr) != 1 ||
      EVP_CipherUpdate(context.get(), out->data(), &produced, in.data(),
                       static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(context.get(), out->data() + produced,
                         &finalBytes) != 1) {
    return false;
  }
  return produced + finalBytes == static_cast<int>(out->size());
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(std::string_view text, Block* bytes) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' ||
                           text.back() == ' ' || text.back() == '\t' ||
                           text.back() == '\0')) {
    text.remove_suffix(1);
  }
  if (text.size() != StoredPassword::kTextDigits) return false;
  for (size_t i = 0; i < bytes->size(); ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*bytes)[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return true;
}

}  // namespace

StoredPassword::Result StoredPassword::Decode(std::string_view text,
                                              std::string* password) {
  Block cipher;
  if (!ParseHex(text, &cipher)) return Result::kMalformed;
  Block plain;
  if (!Rc4Transform(cipher, &plain)) return Result::kCipherError;
  size_t length = 0;
  while (length < plain.size() && plain[length] != 0) ++length;
  password->assign(reinterpret_cast<const char*>(plain.data()), length);
  OPENSSL_cleanse(plain.data(), plain.size());
  return Result::kOk;
}

StoredPassword::Result StoredPassword::Encode(std::string_view password,
                                              std::string* text) {
  if (password.empty() || password.size() > kCipherBytes ||
      password.find('\0') != std::string_view::npos) {
    return Result::kMalformed;
  }
  Block plain{};
  for (size_t i = 0; i < password.size(); ++i) {
    plain[i] = static_cast<unsigned char>(password[i]);
  }
  Block cipher;
  const bool ok = Rc4Transform(plain, &cipher);
  OPENSSL_cleanse(plain.data(), plain.size());
  if (!ok) return Result::kCipherError;
  static const char kDigits[] = "0123456789abcdef";
  text->clear();
  for (unsigned char byte : cipher) {
    *text += kDigits[byte >> 4];
    *text += kDigits[byte & 15];
  }
  return Result::kOk;
}
