#include <windows.h>
// windows.h maps ReplaceFile to ReplaceFileW, which would rename our own
// platform::ReplaceFile here and leave its callers unresolved.
#undef ReplaceFile

#include <fcntl.h>
#include <io.h>
#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/platform.h"

// Newer than the mingw headers; systems without it refuse the timer.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace kr2270::platform {
namespace {

std::int64_t CounterFrequency() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return static_cast<std::int64_t>(f.QuadPart);
  }();
  return frequency;
}

// Paths arrive as UTF-8 and go to the wide-character functions, which take
// every name the file system holds; the narrow ones take only what the ANSI
// code page has. Text that is not UTF-8 is read in the ANSI code page, as
// the narrow functions did, so that callers that pass it keep working.
std::wstring Wide(const char* path) {
  const int length = static_cast<int>(std::strlen(path));
  for (const UINT page : {UINT{CP_UTF8}, UINT{CP_ACP}}) {
    const DWORD flags = page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int n = MultiByteToWideChar(page, flags, path, length, nullptr, 0);
    if (n <= 0 && length > 0) continue;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(page, flags, path, length, wide.data(), n);
    return wide;
  }
  return {};
}

DWORD Attributes(const char* path) {
  return path != nullptr ? GetFileAttributesW(Wide(path).c_str()) : INVALID_FILE_ATTRIBUTES;
}

// errno-style numbers, so that callers test errors the same on every platform.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    default:
      return EINVAL;
  }
}

FileOpen WrapHandle(HANDLE handle, int flags, const char* mode) {
  FileOpen result;
  if (handle == INVALID_HANDLE_VALUE) {
    result.error = ErrnoOf(GetLastError());
    return result;
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    result.error = errno;
    CloseHandle(handle);
    return result;
  }
  result.file = _fdopen(fd, mode);
  if (result.file == nullptr) {
    result.error = errno;
    _close(fd);
  }
  return result;
}

// A waitable timer that honours sub-tick periods; null where the system has none.
HANDLE HighResolutionTimer() {
  thread_local HANDLE timer = CreateWaitableTimerExW(
      nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  return timer;
}

}  // namespace

std::int64_t MonotonicNs() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const std::int64_t f = CounterFrequency();
  // Split so that the product cannot overflow after long uptimes.
  const std::int64_t ticks = static_cast<std::int64_t>(now.QuadPart);
  return ticks / f * 1000000000 + ticks % f * 1000000000 / f;
}

std::int64_t WallClockNs() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  // FILETIME counts 100 ns from 1601-01-01.
  constexpr std::int64_t kUnixEpoch = 116444736000000000;
  const auto ticks = static_cast<std::int64_t>((std::uint64_t{now.dwHighDateTime} << 32) |
                                               now.dwLowDateTime);
  return (ticks - kUnixEpoch) * 100;
}

void SleepMs(int ms) {
  if (ms <= 0) return;
  // Sleep() rounds up to the system tick (15.6 ms by default).
  if (HANDLE timer = HighResolutionTimer(); timer != nullptr) {
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(ms) * 10000;  // relative, in 100 ns
    if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
        WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0)
      return;
  }
  const std::int64_t deadline = MonotonicNs() + std::int64_t{ms} * 1000000;
  while (MonotonicNs() < deadline) std::this_thread::yield();
}

bool IsDirectory(const char* path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const char* path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

bool IsRegularFile(const char* path) {
  const DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

FileOpen CreateNewFile(const char* path) {
  // CREATE_NEW is the exclusive create: it fails when the file exists.
  const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  return WrapHandle(h, _O_WRONLY, "wb");
}

FileOpen OpenRegularFile(const char* path) {
  const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) {
    // A pipe or a device named like a recording.
    CloseHandle(h);
    FileOpen refused;
    refused.error = EINVAL;
    return refused;
  }
  if (h == INVALID_HANDLE_VALUE && IsDirectory(path)) {
    FileOpen refused;
    refused.error = EISDIR;
    return refused;
  }
  return WrapHandle(h, _O_RDONLY, "rb");
}

bool IsExistsError(int error) { return error == EEXIST; }

int LastFileError() { return errno; }

bool SeekFile(std::FILE* file, std::int64_t offset) {
  return _fseeki64(file, offset, SEEK_SET) == 0;
}

std::int64_t FileSize(std::FILE* file) {
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  LARGE_INTEGER size{};
  if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size))
    return -1;
  return static_cast<std::int64_t>(size.QuadPart);
}

bool SyncFile(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) != 0;
}

// rename() refuses an existing target here; MoveFileEx replaces it in one step.
bool ReplaceFile(const char* from, const char* to) {
  return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const char* path) { return DeleteFileW(Wide(path).c_str()) != 0; }

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

bool LocalTime(std::time_t seconds, std::tm* local) { return localtime_s(local, &seconds) == 0; }

void DebugOutput(const char* text) {
  OutputDebugStringA(text);
  std::fputs(text, stderr);
  std::fflush(stderr);
}

std::string ErrorText(int error_number, std::size_t max_length) {
  char buffer[256] = {};
  std::string result = strerror_s(buffer, sizeof buffer, error_number) == 0 ? buffer : "";
  if (result.size() > max_length) result.resize(max_length);
  return result;
}

namespace {

std::int64_t Ticks100ns(const FILETIME& t) {
  return static_cast<std::int64_t>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
}

}  // namespace

std::int64_t ThreadCpuNs(std::thread& thread) {
  const HANDLE h = pthread_gethandle(thread.native_handle());
  FILETIME created{}, exited{}, kernel{}, user{};
  if (h == nullptr || !GetThreadTimes(h, &created, &exited, &kernel, &user)) return -1;
  return (Ticks100ns(kernel) + Ticks100ns(user)) * 100;
}

std::int64_t ProcessCpuNs() {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  return (Ticks100ns(kernel) + Ticks100ns(user)) * 100;
}

}  // namespace kr2270::platform
