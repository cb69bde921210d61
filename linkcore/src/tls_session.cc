#include "tls_session.h"

#include <arpa/inet.h>

#include <openssl/err.h>
#include <openssl/x509v3.h>

namespace linkcore {

std::unique_ptr<TlsSession> TlsSession::create(
    std::shared_ptr<TlsContext> context, const std::string& verifyName,
    SSL_SESSION* resume) {
  SSL* ssl = SSL_new(context->get());
  if (ssl == nullptr) return nullptr;
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  if (in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    SSL_free(ssl);
    return nullptr;
  }
  // An empty input buffer means "wait for more", not the end of the stream.
  BIO_set_mem_eof_return(in, -1);
  BIO_set_mem_eof_return(out, -1);
  SSL_set_bio(ssl, in, out);
  if (context->isServer()) {
    SSL_set_accept_state(ssl);
  } else {
    SSL_set_connect_state(ssl);
    if (!verifyName.empty()) {
      in_addr address;
      if (inet_pton(AF_INET, verifyName.c_str(), &address) == 1) {
        // A dotted address must be among the certificate's IP addresses.
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), verifyName.c_str());
      } else {
        SSL_set_tlsext_host_name(ssl, verifyName.c_str());
        SSL_set1_host(ssl, verifyName.c_str());
      }
    }
    if (resume != nullptr) SSL_set_session(ssl, resume);
  }
  return std::unique_ptr<TlsSession>(
      new TlsSession(std::move(context), ssl, in, out));
}

TlsSession::~TlsSession() { SSL_free(ssl_); }

bool TlsSession::feed(const char* data, size_t length) {
  return BIO_write(in_, data, static_cast<int>(length)) ==
         static_cast<int>(length);
}

TlsSession::Step TlsSession::classify(int result, const char* what) {
  const int error = SSL_get_error(ssl_, result);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    ERR_clear_error();
    return Step::kWantInput;
  }
  if (error == SSL_ERROR_ZERO_RETURN) {
    ERR_clear_error();
    return Step::kClosed;
  }
  failed_ = true;
  const long verify = SSL_get_verify_result(ssl_);
  if (verify != X509_V_OK) {
    failure_ = std::string("certificate verify failed: ") +
               X509_verify_cert_error_string(verify);
    ERR_clear_error();
  } else {
    failure_ = TlsContext::lastError(what);
  }
  return Step::kFailed;
}

TlsSession::Step TlsSession::handshake() {
  if (done_) return Step::kDone;
  if (failed_) return Step::kFailed;
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    done_ = true;
    return Step::kDone;
  }
  return classify(result, "handshake failed");
}

int TlsSession::read(char* buffer, int capacity, Step* step) {
  if (failed_) {
    *step = Step::kFailed;
    return 0;
  }
  ERR_clear_error();
  const int result = SSL_read(ssl_, buffer, capacity);
  if (result > 0) {
    *step = Step::kDone;
    return result;
  }
  *step = classify(result, "cannot decrypt");
  return 0;
}

bool TlsSession::write(const char* data, int length) {
  if (failed_) return false;
  ERR_clear_error();
  // The output is a memory buffer, so one call takes everything or fails.
  const int result = SSL_write(ssl_, data, length);
  if (result == length) return true;
  classify(result, "cannot encrypt");
  failed_ = true;
  return false;
}

bool TlsSession::hasBufferedInput() const {
  return BIO_ctrl_pending(in_) > 0 || SSL_pending(ssl_) > 0;
}

size_t TlsSession::output(const char** data) const {
  char* bytes = nullptr;
  const long length = BIO_get_mem_data(out_, &bytes);
  *data = bytes;
  return length > 0 ? static_cast<size_t>(length) : 0;
}

void TlsSession::clearOutput() { (void)BIO_reset(out_); }

std::string TlsSession::description() const {
  return std::string(SSL_get_version(ssl_)) + " " +
         SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_));
}

}  // namespace linkcore
