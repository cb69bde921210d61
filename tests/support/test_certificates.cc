#include "support/test_certificates.h"

#include <cstdio>
#include <cstdlib>

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace test_certs {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "test certificates: %s failed\n", what);
    std::abort();
  }
}

EVP_PKEY* NewKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  Check(key != nullptr, "EVP_EC_gen");
  return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "X509V3_EXT_conf_nid");
  Check(X509_add_ext(cert, ext, -1) == 1, "X509_add_ext");
  X509_EXTENSION_free(ext);
}

X509* NewCert(EVP_PKEY* key, const std::string& commonName, long serial,
              long notBefore, long notAfter) {
  X509* cert = X509_new();
  Check(cert != nullptr, "X509_new");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), notBefore);
  X509_gmtime_adj(X509_getm_notAfter(cert), notAfter);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(
      name, "CN", MBSTRING_ASC,
      reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return cert;
}

void WriteCert(const std::string& path, X509* cert) {
  FILE* f = std::fopen(path.c_str(), "w");
  Check(f != nullptr, "fopen");
  Check(PEM_write_X509(f, cert) == 1, "PEM_write_X509");
  std::fclose(f);
}

void WriteKey(const std::string& path, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  Check(f != nullptr, "fopen");
  Check(PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM_write_PrivateKey");
  std::fclose(f);
}

}  // namespace

TestAuthority::TestAuthority(const std::string& dir, const std::string& name)
    : dir_(dir), certFile_(dir + "/" + name + "-ca.pem") {
  EVP_PKEY* key = NewKey();
  X509* cert = NewCert(key, name + " test CA", serial_++, -3600, 3600L * 24 * 365);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(cert, cert, NID_subject_key_identifier, "hash");
  Check(X509_sign(cert, key, EVP_sha256()) > 0, "X509_sign");
  WriteCert(certFile_, cert);
  key_ = key;
  cert_ = cert;
}

TestAuthority::~TestAuthority() {
  EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
  X509_free(static_cast<X509*>(cert_));
}

CertFiles TestAuthority::Issue(const std::string& file, const LeafOptions& leaf) {
  X509* issuer = static_cast<X509*>(cert_);
  EVP_PKEY* key = NewKey();
  X509* cert = NewCert(key, leaf.commonName, serial_++, leaf.notBefore,
                       leaf.notAfter);
  X509_set_issuer_name(cert, X509_get_subject_name(issuer));
  AddExtension(cert, issuer, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(cert, issuer, NID_key_usage,
               "critical,digitalSignature,keyEncipherment");
  AddExtension(cert, issuer, NID_ext_key_usage,
               leaf.client ? "clientAuth" : "serverAuth");
  AddExtension(cert, issuer, NID_authority_key_identifier, "keyid:always");
  if (!leaf.altNames.empty()) {
    std::string names;
    for (const std::string& n : leaf.altNames) {
      names += (names.empty() ? "" : ",") + n;
    }
    AddExtension(cert, issuer, NID_subject_alt_name, names);
  }
  Check(X509_sign(cert, static_cast<EVP_PKEY*>(key_), EVP_sha256()) > 0,
        "X509_sign");
  CertFiles files{dir_ + "/" + file + ".pem", dir_ + "/" + file + "-key.pem"};
  WriteCert(files.cert, cert);
  WriteKey(files.key, key);
  X509_free(cert);
  EVP_PKEY_free(key);
  return files;
}

}  // namespace test_certs
