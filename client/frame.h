// The client side of the sync protocol's framing, written on its own: it
// shares no code with the server, so that a fault on one side is not
// mirrored by the other.
//
// A frame is 'T', an int32 total length (header included), one reserved
// byte, then parameters: int8 name length (NUL included), name, NUL, int32
// value length, value. Integers are little-endian; texts carry their NUL.
//
// Everything here is plain data and pure functions; thread safe on
// distinct objects.
#ifndef DIRSYNC_CLIENT_FRAME_H_
#define DIRSYNC_CLIENT_FRAME_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dsclient {

// Builds one frame. The command becomes the first parameter, "cmd".
class FrameWriter {
 public:
  explicit FrameWriter(std::string_view command);

  FrameWriter& Text(std::string_view name, std::string_view text);
  FrameWriter& Int32(std::string_view name, int32_t value);
  FrameWriter& Int64(std::string_view name, int64_t value);
  FrameWriter& Bytes(std::string_view name, std::string_view value);
  // Appends bytes as they are (for hand-made, possibly malformed params).
  FrameWriter& Raw(std::string_view bytes);

  // The whole frame: header and parameters.
  std::string Build() const;

 private:
  std::string params_;
};

struct Param {
  std::string name;   // without its NUL
  std::string value;  // exactly the value bytes
};

// One received message.
struct Message {
  std::vector<Param> params;  // in frame order

  // The last parameter of that name, or null.
  const Param* Find(std::string_view name) const;
  bool Has(std::string_view name) const { return Find(name) != nullptr; }
  // The value as a text: present and ending with a NUL, which is removed.
  std::optional<std::string> Text(std::string_view name) const;
  // The value as an integer of exactly that width.
  std::optional<int32_t> Int32(std::string_view name) const;
  std::optional<int64_t> Int64(std::string_view name) const;
  // The "cmd" text, or empty.
  std::string Command() const;
  // The parameter names in order, for checking a reply's shape.
  std::vector<std::string> Names() const;
};

// Parses exactly one whole frame. False when the bytes are not a sound
// frame: wrong lead byte, a total that differs from the size, a parameter
// that does not fit or whose name lacks its NUL.
bool ParseFrame(std::string_view frame, Message* out);

// No reply of the protocol comes near this (its data is at most 4 MiB, a
// little more once zipped): a frame that announces more, or zipped data
// that names a longer result, is refused, so that a server cannot make the
// client buffer or allocate without bound.
constexpr size_t kMostReplyBytes = 16 * 1024 * 1024;

// Cuts a byte stream into frames.
class FrameReader {
 public:
  enum class Status { kMessage, kNeedMore, kGarbage };

  void Append(std::string_view bytes);
  // Room for at least n more bytes at the end of the buffer, to receive
  // into directly; Commit(got) then counts the got bytes received there.
  char* Reserve(size_t n);
  void Commit(size_t got) { end_ += got; }
  // Takes the next whole frame off the stream.
  Status Next(Message* out);
  size_t buffered() const { return end_ - start_; }
  // The next frame (or garbage that Next reports) lies whole in the buffer.
  bool HasWholeFrame() const;

 private:
  std::string_view Rest() const { return std::string_view(buffer_.get() + start_, end_ - start_); }

  // Bytes from start_ to end_ wait to be taken; frames already taken lie
  // before start_ and are moved out of the way only when room is needed,
  // so that taking many small frames from one large read copies nothing.
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t start_ = 0;
  size_t end_ = 0;
};

// Inflates a zlib stream that must yield exactly expectedLength bytes, at
// most kMostReplyBytes.
bool Inflate(std::string_view zipped, size_t expectedLength, std::string* out);

}  // namespace dsclient

#endif  // DIRSYNC_CLIENT_FRAME_H_
