#include "frame.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>

namespace dsclient {
namespace {

constexpr size_t kHeader = 6;

void PutLE(std::string& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

uint64_t GetLE(std::string_view in, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    v = v << 8 | static_cast<uint8_t>(in[at + static_cast<size_t>(i)]);
  }
  return v;
}

}  // namespace

FrameWriter::FrameWriter(std::string_view command) { Text("cmd", command); }

FrameWriter& FrameWriter::Bytes(std::string_view name, std::string_view value) {
  params_.push_back(static_cast<char>(name.size() + 1));
  params_.append(name);
  params_.push_back('\0');
  PutLE(params_, value.size(), 4);
  params_.append(value);
  return *this;
}

FrameWriter& FrameWriter::Text(std::string_view name, std::string_view text) {
  std::string withNul(text);
  withNul.push_back('\0');
  return Bytes(name, withNul);
}

FrameWriter& FrameWriter::Int32(std::string_view name, int32_t value) {
  std::string v;
  PutLE(v, static_cast<uint32_t>(value), 4);
  return Bytes(name, v);
}

FrameWriter& FrameWriter::Int64(std::string_view name, int64_t value) {
  std::string v;
  PutLE(v, static_cast<uint64_t>(value), 8);
  return Bytes(name, v);
}

FrameWriter& FrameWriter::Raw(std::string_view bytes) {
  params_.append(bytes);
  return *this;
}

std::string FrameWriter::Build() const {
  std::string frame;
  frame.push_back('T');
  PutLE(frame, kHeader + params_.size(), 4);
  frame.push_back('\0');
  frame.append(params_);
  return frame;
}

const Param* Message::Find(std::string_view name) const {
  for (auto it = params.rbegin(); it != params.rend(); ++it) {
    if (it->name == name) return &*it;
  }
  return nullptr;
}

std::optional<std::string> Message::Text(std::string_view name) const {
  const Param* p = Find(name);
  if (p == nullptr || p->value.empty() || p->value.back() != '\0') return {};
  return p->value.substr(0, p->value.size() - 1);
}

std::optional<int32_t> Message::Int32(std::string_view name) const {
  const Param* p = Find(name);
  if (p == nullptr || p->value.size() != 4) return {};
  return static_cast<int32_t>(GetLE(p->value, 0, 4));
}

std::optional<int64_t> Message::Int64(std::string_view name) const {
  const Param* p = Find(name);
  if (p == nullptr || p->value.size() != 8) return {};
  return static_cast<int64_t>(GetLE(p->value, 0, 8));
}

std::string Message::Command() const { return Text("cmd").value_or(""); }

std::vector<std::string> Message::Names() const {
  std::vector<std::string> names;
  for (const Param& p : params) names.push_back(p.name);
  return names;
}

bool ParseFrame(std::string_view frame, Message* out) {
  out->params.clear();
  if (frame.size() < kHeader || frame[0] != 'T') return false;
  if (GetLE(frame, 1, 4) != frame.size()) return false;
  size_t at = kHeader;
  while (at < frame.size()) {
    size_t nameLength = static_cast<uint8_t>(frame[at]);
    if (nameLength == 0 || nameLength > 127) return false;
    if (frame.size() - at < 1 + nameLength + 4) return false;
    std::string_view name = frame.substr(at + 1, nameLength);
    if (name.back() != '\0') return false;
    uint64_t valueLength = GetLE(frame, at + 1 + nameLength, 4);
    size_t valueAt = at + 1 + nameLength + 4;
    if (valueLength > frame.size() - valueAt) return false;
    out->params.push_back(Param{std::string(name.substr(0, nameLength - 1)),
                                std::string(frame.substr(valueAt, valueLength))});
    at = valueAt + valueLength;
  }
  return true;
}

char* FrameReader::Reserve(size_t n) {
  if (capacity_ - end_ < n) {
    const size_t waiting = end_ - start_;
    if (capacity_ - waiting >= n && start_ > 0) {
      std::memmove(buffer_.get(), buffer_.get() + start_, waiting);
    } else {
      size_t capacity = std::max(capacity_ * 2, waiting + n);
      std::unique_ptr<char[]> bigger(new char[capacity]);
      if (waiting > 0) std::memcpy(bigger.get(), buffer_.get() + start_, waiting);
      buffer_ = std::move(bigger);
      capacity_ = capacity;
    }
    start_ = 0;
    end_ = waiting;
  }
  return buffer_.get() + end_;
}

void FrameReader::Append(std::string_view bytes) {
  if (bytes.empty()) return;
  std::memcpy(Reserve(bytes.size()), bytes.data(), bytes.size());
  Commit(bytes.size());
}

bool FrameReader::HasWholeFrame() const {
  std::string_view rest = Rest();
  if (rest.size() < kHeader) return false;
  if (rest[0] != 'T') return true;
  const uint64_t total = GetLE(rest, 1, 4);
  return total > kMostReplyBytes || total <= rest.size();
}

FrameReader::Status FrameReader::Next(Message* out) {
  std::string_view rest = Rest();
  if (rest.size() < kHeader) return Status::kNeedMore;
  if (rest[0] != 'T') return Status::kGarbage;
  uint64_t total = GetLE(rest, 1, 4);
  if (total < kHeader || total > kMostReplyBytes) return Status::kGarbage;
  if (rest.size() < total) return Status::kNeedMore;
  bool sound = ParseFrame(rest.substr(0, total), out);
  start_ += total;
  if (start_ == end_) start_ = end_ = 0;
  return sound ? Status::kMessage : Status::kGarbage;
}

bool Inflate(std::string_view zipped, size_t expectedLength, std::string* out) {
  // libdeflate inflates straight into the result, a few times as fast as
  // zlib, and checks the stream's checksum. A stream that yields more than
  // expected finds no room for it and fails.
  struct Holder {
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    ~Holder() { libdeflate_free_decompressor(decompressor); }
  };
  thread_local Holder holder;
  if (holder.decompressor == nullptr) return false;
  // The length comes from the server: it is bounded before it is
  // allocated.
  if (expectedLength > kMostReplyBytes) return false;
  out->resize(expectedLength);
  size_t length = 0;
  const libdeflate_result result =
      libdeflate_zlib_decompress(holder.decompressor, zipped.data(), zipped.size(),
                                 out->data(), expectedLength, &length);
  if (result != LIBDEFLATE_SUCCESS || length != expectedLength) {
    out->clear();
    return false;
  }
  return true;
}

}  // namespace dsclient
