#include "tls_session.h"

#include <arpa/inet.h>

#include <string.h>

#include <algorithm>
#include <mutex>
#include <new>

#include <openssl/err.h>
#include <openssl/x509v3.h>

namespace linkcore {

namespace {
// The output buffer's first size: handshake flights and small replies.
constexpr size_t kOutputCapacity = 16 * 1024;
// A buffer larger than this is let go once the send that grew it is out.
constexpr size_t kOutputKept = 256 * 1024;
// What a record adds to at most 16 KiB of data: header, content type or
// explicit nonce, tag; with room to spare.
constexpr size_t kRecordOverhead = 64;
constexpr size_t kRecordData = 16 * 1024;

// The last large output buffer that trimOutput let go on this thread, kept
// for the next large send made here. A buffer that large is mapped afresh
// by the allocator each time, and faulting in its pages for every reply
// costs more than the copies around the cipher.
struct SpareOutput {
  char* data = nullptr;
  size_t capacity = 0;
  ~SpareOutput() { delete[] data; }
};
thread_local SpareOutput spareOutput;
}  // namespace

bool TlsSession::growOutput(Output* out, size_t capacity) {
  if (capacity <= out->capacity) return true;
  char* bigger;
  if (capacity > kOutputKept && spareOutput.capacity >= capacity) {
    bigger = spareOutput.data;
    capacity = spareOutput.capacity;
    spareOutput.data = nullptr;
    spareOutput.capacity = 0;
  } else {
    bigger = new (std::nothrow) char[capacity];
  }
  if (bigger == nullptr) return false;
  if (out->length > 0) memcpy(bigger, out->data, out->length);
  delete[] out->data;
  out->data = bigger;
  out->capacity = capacity;
  return true;
}

bool TlsSession::reserveOutput(size_t plainLength) {
  const size_t records = plainLength / kRecordData + 2;
  return growOutput(&out_, out_.length + plainLength + records * kRecordOverhead);
}

void TlsSession::clearOutput() { out_.length = 0; }

void TlsSession::trimOutput() {
  if (out_.length != 0 || out_.capacity <= kOutputKept) return;
  if (out_.capacity > spareOutput.capacity) {
    delete[] spareOutput.data;
    spareOutput.data = out_.data;
    spareOutput.capacity = out_.capacity;
  } else {
    delete[] out_.data;
  }
  out_ = Output();
}

BIO_METHOD* TlsSession::outputMethod() {
  static BIO_METHOD* method;
  static std::once_flag built;
  std::call_once(built, [] {
    method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK,
                          "linkcore output");
    if (method != nullptr) {
      BIO_meth_set_write(method, &TlsSession::outputWrite);
      BIO_meth_set_ctrl(method, &TlsSession::outputControl);
    }
  });
  return method;
}

int TlsSession::outputWrite(BIO* bio, const char* data, int length) {
  Output* out = static_cast<Output*>(BIO_get_data(bio));
  if (length <= 0) return 0;
  const size_t needed = out->length + static_cast<size_t>(length);
  if (needed > out->capacity &&
      !growOutput(out, std::max(needed, std::max(out->capacity * 2,
                                                 kOutputCapacity)))) {
    return -1;  // the write fails, and the session with it
  }
  memcpy(out->data + out->length, data, static_cast<size_t>(length));
  out->length = needed;
  return length;
}

long TlsSession::outputControl(BIO* bio, int command, long, void*) {
  const Output* out = static_cast<const Output*>(BIO_get_data(bio));
  switch (command) {
    case BIO_CTRL_FLUSH: return 1;  // nothing is held back
    case BIO_CTRL_WPENDING: return static_cast<long>(out->length);
    case BIO_CTRL_PENDING: return 0;
    default: return 0;
  }
}

char* TlsSession::releaseOutput(size_t* length) {
  char* data = out_.data;
  *length = out_.length;
  out_ = Output();
  return data;
}

std::unique_ptr<TlsSession> TlsSession::create(
    std::shared_ptr<TlsContext> context, const std::string& verifyName,
    SSL_SESSION* resume) {
  SSL* ssl = SSL_new(context->get());
  if (ssl == nullptr) return nullptr;
  BIO* in = BIO_new(BIO_s_mem());
  BIO_METHOD* method = outputMethod();
  BIO* out = method != nullptr ? BIO_new(method) : nullptr;
  if (in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    SSL_free(ssl);
    return nullptr;
  }
  // An empty input buffer means "wait for more", not the end of the stream.
  BIO_set_mem_eof_return(in, -1);
  BIO_set_init(out, 1);
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
  std::unique_ptr<TlsSession> session(new (std::nothrow)
                                          TlsSession(std::move(context), ssl, in));
  if (session == nullptr) {
    SSL_free(ssl);
    return nullptr;
  }
  BIO_set_data(out, &session->out_);
  return session;
}

TlsSession::~TlsSession() {
  SSL_free(ssl_);
  delete[] out_.data;
}

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


std::string TlsSession::description() const {
  return std::string(SSL_get_version(ssl_)) + " " +
         SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_));
}

}  // namespace linkcore
