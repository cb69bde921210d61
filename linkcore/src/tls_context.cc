#include "tls_context.h"

#include <openssl/err.h>
#include <openssl/x509.h>

namespace linkcore {

namespace {

// TLS 1.2 suites: forward secrecy and authenticated encryption only. TLS
// 1.3 suites are all AEAD; AES-128-GCM comes first, the fastest where the
// processor has AES instructions, ChaCha20 last for those without.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kTls13Suites =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

// Names the server's session cache, so that sessions resumed with client
// certificates are matched to this service.
constexpr unsigned char kSessionContext[] = "linkcore";

SSL_CTX* NewContext(bool server) {
  SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                               SSL_OP_IGNORE_UNEXPECTED_EOF |
                               SSL_OP_CIPHER_SERVER_PREFERENCE);
  // Idle connections keep no read or write buffers.
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1 ||
      SSL_CTX_set_ciphersuites(ctx, kTls13Suites) != 1) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

bool LoadIdentity(SSL_CTX* ctx, const std::string& certFile,
                  const std::string& keyFile, std::string* error) {
  if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1) {
    *error = "certificate " + certFile + ": " +
             TlsContext::lastError("cannot be loaded");
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    *error = "key " + keyFile + ": " + TlsContext::lastError("cannot be loaded");
    return false;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    *error = "key " + keyFile + " does not belong to certificate " + certFile;
    ERR_clear_error();
    return false;
  }
  return true;
}

}  // namespace

std::string TlsContext::lastError(const char* fallback) {
  const unsigned long code = ERR_peek_last_error();
  std::string text;
  if (code != 0) {
    const char* reason = ERR_reason_error_string(code);
    text = reason != nullptr ? reason : "error " + std::to_string(code);
  } else {
    text = fallback;
  }
  ERR_clear_error();
  return text;
}

std::shared_ptr<TlsContext> TlsContext::forServer(
    const std::string& certFile, const std::string& keyFile,
    const std::string& clientCaFile, std::string* error) {
  ERR_clear_error();
  SSL_CTX* ctx = NewContext(true);
  if (ctx == nullptr) {
    *error = lastError("cannot build a TLS context");
    return nullptr;
  }
  std::shared_ptr<TlsContext> context(new TlsContext(ctx, true));
  if (!LoadIdentity(ctx, certFile, keyFile, error)) return nullptr;
  SSL_CTX_set_session_id_context(ctx, kSessionContext,
                                 sizeof kSessionContext - 1);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
  if (!clientCaFile.empty()) {
    if (SSL_CTX_load_verify_locations(ctx, clientCaFile.c_str(), nullptr) != 1) {
      *error = "client CA " + clientCaFile + ": " + lastError("cannot be loaded");
      return nullptr;
    }
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(clientCaFile.c_str());
    if (names != nullptr) SSL_CTX_set_client_CA_list(ctx, names);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                       nullptr);
  }
  return context;
}

std::shared_ptr<TlsContext> TlsContext::forClient(const std::string& caFile,
                                                  const std::string& certFile,
                                                  const std::string& keyFile,
                                                  std::string* error) {
  ERR_clear_error();
  SSL_CTX* ctx = NewContext(false);
  if (ctx == nullptr) {
    *error = lastError("cannot build a TLS context");
    return nullptr;
  }
  std::shared_ptr<TlsContext> context(new TlsContext(ctx, false));
  const int loaded =
      caFile.empty() ? SSL_CTX_set_default_verify_paths(ctx)
                     : SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr);
  if (loaded != 1) {
    *error = "CA " + (caFile.empty() ? std::string("store") : caFile) + ": " +
             lastError("cannot be loaded");
    return nullptr;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (!certFile.empty() || !keyFile.empty()) {
    if (!LoadIdentity(ctx, certFile, keyFile, error)) return nullptr;
  }
  return context;
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

}  // namespace linkcore
