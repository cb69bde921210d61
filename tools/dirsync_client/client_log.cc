#include "client_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace dsclient_tool {
namespace {

std::mutex& LogMutex() {
  static std::mutex m;
  return m;
}
std::function<void()>& Hook() {
  static std::function<void()> hook;
  return hook;
}
bool quietLog = false;
std::vector<std::string>* captured = nullptr;

}  // namespace

void SetLogPrefixHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(LogMutex());
  Hook() = std::move(hook);
}

void SetLogQuiet(bool quiet) {
  std::lock_guard<std::mutex> lock(LogMutex());
  quietLog = quiet;
}

void SetLogCapture(std::vector<std::string>* lines) {
  std::lock_guard<std::mutex> lock(LogMutex());
  captured = lines;
}

void Log(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);

  std::lock_guard<std::mutex> lock(LogMutex());
  if (captured != nullptr) captured->push_back(text);
  if (quietLog) return;
  if (Hook()) Hook()();
  std::fprintf(stderr, "%s dirsync-client: %s\n", stamp, text);
  std::fflush(stderr);
}

}  // namespace dsclient_tool
