#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/platform.h"

namespace kr2270::platform {

std::int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool IsDirectory(const char* path) {
  struct stat st {};
  return path != nullptr && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const char* path) {
  struct stat st {};
  return path != nullptr && ::stat(path, &st) == 0;
}

void DebugOutput(const char* text) {
  std::fputs(text, stderr);
  std::fflush(stderr);
}

std::string ErrorText(int error_number, std::size_t max_length) {
  char buffer[256] = {};
  // The GNU variant may return a static string instead of filling buffer.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  std::string result = text != nullptr ? text : "";
  if (result.size() > max_length) result.resize(max_length);
  return result;
}

}  // namespace kr2270::platform
