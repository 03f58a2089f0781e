#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "system/interrupt.h"
#include "system/system.h"

namespace kr2270::tool {
namespace {

// UTF-8 text as the wide-character functions take it. Text that is not
// UTF-8 is read in the ANSI code page, as the narrow functions would.
std::wstring Wide(const std::string& text) {
  for (const UINT page : {UINT{CP_UTF8}, UINT{CP_ACP}}) {
    const DWORD flags = page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int n = MultiByteToWideChar(page, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0 && !text.empty()) continue;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(page, flags, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
  }
  return {};
}

std::string Utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string utf8(static_cast<std::size_t>(n - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

// The C library's error numbers, so that callers test errors alike everywhere.
void SetErrnoFrom(DWORD error) {
  switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: errno = EACCES; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    default: errno = EIO; break;
  }
}

// Runs on a thread the console starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  NoteInterrupt();
  return TRUE;
}

}  // namespace

void InstallSignalHandling() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

void QuitInterrupted() {
  if (g_interrupt.remove_on_quit[0] != '\0') DeleteFileW(Wide(g_interrupt.remove_on_quit).c_str());
  std::fputs("kr2270: interrupted before any data was taken\n", stderr);
  std::_Exit(kExitInterrupted);
}

// msvcrt reports a write to a pipe whose reader went away as EINVAL or EPIPE.
bool IsClosedOutput(int error) { return error == EPIPE || error == EINVAL; }

bool DiskIsFull(const std::string& dir) {
  ULARGE_INTEGER available{};
  return GetDiskFreeSpaceExW(Wide(dir).c_str(), &available, nullptr, nullptr) &&
         available.QuadPart == 0;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  // The narrow argv went through the ANSI code page, which may not hold the
  // characters given: the wide command line does.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr || count != argc) {
    if (wide != nullptr) LocalFree(wide);
    return std::vector<std::string>(argv, argv + argc);
  }
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

std::FILE* CreateExclusive(const std::string& path) {
  // CREATE_NEW fails on anything there; a link is opened as itself, never followed.
  const HANDLE handle = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetErrnoFrom(GetLastError());
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
  std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    if (fd < 0) CloseHandle(handle); else _close(fd);
    DeleteFileW(Wide(path).c_str());
    errno = error;
  }
  return file;
}

bool MoveInto(const std::string& from, const std::string& to, bool replace) {
  // rename() refuses an existing target here; MoveFileEx replaces it in one step.
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), flags)) return true;
  SetErrnoFrom(GetLastError());
  return false;
}

bool EntryExists(const std::string& path) {
  return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RemoveEntry(const std::string& path) {
  if (DeleteFileW(Wide(path).c_str())) return true;
  const DWORD error = GetLastError();
  SetErrnoFrom(error);
  return error == ERROR_FILE_NOT_FOUND;
}

std::string UtcTimestampNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_s(&utc, &now);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string LocalTimeZone() {
  TIME_ZONE_INFORMATION zone{};
  const DWORD kind = GetTimeZoneInformation(&zone);
  // Bias is UTC minus local time, in minutes.
  LONG bias = zone.Bias + (kind == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : zone.StandardBias);
  const char sign = bias <= 0 ? '+' : '-';
  bias = bias < 0 ? -bias : bias;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02ld:%02ld", sign, static_cast<long>(bias / 60),
                static_cast<long>(bias % 60));
  const wchar_t* wide = kind == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightName : zone.StandardName;
  char name[64] = {};
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, name, sizeof name, nullptr, nullptr);
  return std::string(text) + " (" + name + ")";
}

void LowerThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

bool ListenMayReuseAddress() { return false; }

std::string LibraryVersion() {
  using VersionFunction = const char* (*)();
  // Looked up at run time: older builds of the library lack the export.
  const HMODULE library = GetModuleHandleA("kr2270c.dll");
  if (library == nullptr) return "unknown";
  const FARPROC symbol = GetProcAddress(library, "KR2270_GetVersion");
  if (symbol == nullptr) return "unknown";
  const char* version = reinterpret_cast<VersionFunction>(reinterpret_cast<void*>(symbol))();
  return version != nullptr ? version : "unknown";
}

}  // namespace kr2270::tool
