#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

std::int64_t WallClockNs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
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

bool IsRegularFile(const char* path) {
  struct stat st {};
  return path != nullptr && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

FileOpen WrapDescriptor(int fd, const char* mode) {
  FileOpen result;
  if (fd < 0) {
    result.error = errno;
    return result;
  }
  result.file = ::fdopen(fd, mode);
  if (result.file == nullptr) {
    result.error = errno;
    ::close(fd);
  }
  return result;
}

}  // namespace

FileOpen CreateNewFile(const char* path) {
  return WrapDescriptor(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666), "wb");
}

FileOpen OpenRegularFile(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return WrapDescriptor(fd, "rb");
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    FileOpen refused;
    refused.error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return refused;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return WrapDescriptor(fd, "rb");
}

bool IsExistsError(int error) { return error == EEXIST; }

int LastFileError() { return errno; }

bool SeekFile(std::FILE* file, std::int64_t offset) {
  return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::int64_t FileSize(std::FILE* file) {
  struct stat st {};
  if (::fstat(::fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool SyncFile(std::FILE* file) { return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0; }

bool ReplaceFile(const char* from, const char* to) { return std::rename(from, to) == 0; }

bool RemoveFile(const char* path) { return std::remove(path) == 0; }

bool IsPathSeparator(char c) { return c == '/'; }

bool LocalTime(std::time_t seconds, std::tm* local) {
  return ::localtime_r(&seconds, local) != nullptr;
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

std::int64_t ThreadCpuNs(std::thread& thread) {
  clockid_t clock{};
  timespec now{};
  if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 || clock_gettime(clock, &now) != 0)
    return -1;
  return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

std::int64_t ProcessCpuNs() {
  timespec now{};
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now) != 0) return -1;
  return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace kr2270::platform
