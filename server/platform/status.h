// Status: the result of a disk or system operation. Either OK, or a code,
// the errno of the failing call (0 when none) and a short text saying what
// was being done ("open /srv/data/docs.db"). ToString() gives one line for
// the log: "open /srv/data/docs.db: Permission denied".
//
// Results are [[nodiscard]]: a caller either looks at a Status or says why
// it need not (IgnoreError()). Cheap to copy when OK. Thread compatible.
#ifndef DIRSYNC_PLATFORM_STATUS_H_
#define DIRSYNC_PLATFORM_STATUS_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace dirsync {

class [[nodiscard]] Status {
 public:
  enum class Code : uint8_t {
    kOk,
    kNotFound,         // ENOENT and its kin: what was asked for is not there
    kIOError,          // any other failure of a system call
    kInvalidArgument,  // the request itself cannot be carried out
    kCorruption,       // bytes read back are not what was written
    kMismatch,         // the object found is not the one asked for
  };

  Status() = default;
  static Status OK() { return Status(); }
  // The failure of a system call that set errno to error; ENOENT, ENOTDIR
  // and ESTALE (a file handle whose entry is gone) give kNotFound, every
  // other value kIOError.
  static Status FromErrno(std::string_view context, int error);
  static Status NotFound(std::string_view context, int error = 0) {
    return Status(Code::kNotFound, error, context);
  }
  static Status IOError(std::string_view context, int error = 0) {
    return Status(Code::kIOError, error, context);
  }
  static Status InvalidArgument(std::string_view context) {
    return Status(Code::kInvalidArgument, 0, context);
  }
  static Status Corruption(std::string_view context) {
    return Status(Code::kCorruption, 0, context);
  }
  static Status Mismatch(std::string_view context) {
    return Status(Code::kMismatch, 0, context);
  }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  bool IsNotFound() const { return code_ == Code::kNotFound; }
  // errno of the failing call; 0 when OK or when no call failed.
  int error() const { return error_; }
  const std::string& context() const { return context_; }
  // "context: system error text" and the note, or "OK".
  std::string ToString() const;

  // The same failure with a note added behind the error text, such as
  // " (needs CAP_SYS_ADMIN)".
  Status WithNote(std::string_view note) const {
    Status noted = *this;
    noted.note_ += note;
    return noted;
  }

  // Marks a result as looked at where nothing can be done about it.
  void IgnoreError() const {}

 private:
  Status(Code code, int error, std::string_view context)
      : code_(code), error_(error), context_(context) {}

  Code code_ = Code::kOk;
  int error_ = 0;
  std::string context_;
  std::string note_;
};

}  // namespace dirsync

#endif  // DIRSYNC_PLATFORM_STATUS_H_
