#include "progress_line.h"

#include <cstdio>

#include "client_log.h"

namespace dsclient_tool {
namespace {

std::string Size(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes,
                units[unit]);
  return text;
}

}  // namespace

ProgressLine::ProgressLine(bool enabled)
    : enabled_(enabled), start_(std::chrono::steady_clock::now()) {
  if (enabled_) SetLogPrefixHook([this] { Clear(); });
}

ProgressLine::~ProgressLine() {
  if (enabled_) SetLogPrefixHook(nullptr);
  Finish();
}

void ProgressLine::AddRecords(uint64_t count) { records_ += count; }
void ProgressLine::AddBytes(uint64_t count) { bytes_ += count; }
void ProgressLine::SetPendingBytes(uint64_t bytes) { pending_ = bytes; }

std::string ProgressLine::Format(uint64_t records, uint64_t bytes,
                                 double seconds, uint64_t pendingBytes) {
  double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  std::string line = "records " + std::to_string(records) + " | " +
                     Size(static_cast<double>(bytes)) + " | " + Size(rate) + "/s";
  if (pendingBytes > 0 && rate > 0) {
    uint64_t left = static_cast<uint64_t>(static_cast<double>(pendingBytes) / rate);
    char eta[32];
    std::snprintf(eta, sizeof eta, " | ETA %llu:%02llu",
                  static_cast<unsigned long long>(left / 60),
                  static_cast<unsigned long long>(left % 60));
    line += eta;
  }
  return line;
}

void ProgressLine::Tick() {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (shown_ && now - lastDraw_ < std::chrono::milliseconds(250)) return;
  lastDraw_ = now;
  double seconds = std::chrono::duration<double>(now - start_).count();
  std::string line = Format(records_, bytes_, seconds, pending_);
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void ProgressLine::Clear() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  shown_ = false;
}

void ProgressLine::Finish() {
  if (!enabled_) return;
  Clear();
  std::fflush(stderr);
}

}  // namespace dsclient_tool
