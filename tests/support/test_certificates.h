// Certificates for tests of encrypted connections, made with OpenSSL's API
// into a directory: a test authority, certificates it signs for a server
// or a client (with chosen names and validity), and PEM files of each.
#ifndef TESTS_SUPPORT_TEST_CERTIFICATES_H_
#define TESTS_SUPPORT_TEST_CERTIFICATES_H_

#include <string>
#include <vector>

namespace test_certs {

// PEM files of one certificate and its private key.
struct CertFiles {
  std::string cert;
  std::string key;
};

struct LeafOptions {
  std::string commonName = "localhost";
  // Subject alternative names: "DNS:localhost", "IP:127.0.0.1", ...
  std::vector<std::string> altNames = {"DNS:localhost", "IP:127.0.0.1"};
  // Validity relative to now, in seconds.
  long notBefore = -3600;
  long notAfter = 3600L * 24 * 30;
  bool client = false;  // extended key use: client instead of server
};

// An authority that signs certificates; its files live in dir.
class TestAuthority {
 public:
  // Makes a self-signed authority named name, writing dir/NAME-ca.pem.
  // Aborts the test program on an OpenSSL failure.
  TestAuthority(const std::string& dir, const std::string& name);
  ~TestAuthority();
  TestAuthority(const TestAuthority&) = delete;
  TestAuthority& operator=(const TestAuthority&) = delete;

  const std::string& certFile() const { return certFile_; }
  // Signs a new key's certificate and writes dir/FILE.pem and
  // dir/FILE-key.pem.
  CertFiles Issue(const std::string& file, const LeafOptions& leaf);

 private:
  std::string dir_;
  std::string certFile_;
  void* key_ = nullptr;   // EVP_PKEY
  void* cert_ = nullptr;  // X509
  long serial_ = 1;
};

}  // namespace test_certs

#endif  // TESTS_SUPPORT_TEST_CERTIFICATES_H_
