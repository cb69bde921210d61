// A one-line progress display on a terminal: records applied, bytes
// downloaded, download rate and the time left for the known pending bytes.
// Redrawn at most four times a second with a carriage return; silent when
// stderr is not a terminal (or when disabled). Log lines wipe it first.
// Used from one thread.
#ifndef DIRSYNC_TOOLS_PROGRESS_LINE_H_
#define DIRSYNC_TOOLS_PROGRESS_LINE_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace dsclient_tool {

class ProgressLine {
 public:
  // enabled: draw at all (the caller passes isatty(stderr)).
  explicit ProgressLine(bool enabled);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void AddRecords(uint64_t count);
  void AddBytes(uint64_t count);
  // Bytes still to download as far as known now (for the ETA).
  void SetPendingBytes(uint64_t bytes);
  // Draws when the last draw is a quarter second old.
  void Tick();
  // Wipes the line (at the end of a run).
  void Finish();

  uint64_t records() const { return records_; }
  uint64_t bytes() const { return bytes_; }

  // The text of the line, for tests: "records 12 | 3.0 MiB | 1.5 MiB/s | ETA 0:04".
  static std::string Format(uint64_t records, uint64_t bytes, double seconds,
                            uint64_t pendingBytes);

 private:
  void Clear();

  bool enabled_;
  bool shown_ = false;
  uint64_t records_ = 0;
  uint64_t bytes_ = 0;
  uint64_t pending_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace dsclient_tool

#endif  // DIRSYNC_TOOLS_PROGRESS_LINE_H_
