#include <windows.h>

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

// Runs on a thread the console starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  NoteInterrupt();
  return TRUE;
}

}  // namespace

void InstallSignalHandling() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

void QuitInterrupted() {
  if (g_interrupt.remove_on_quit[0] != '\0') DeleteFileA(g_interrupt.remove_on_quit);
  std::fputs("kr2270: interrupted before any data was taken\n", stderr);
  std::_Exit(kExitInterrupted);
}

// msvcrt reports a write to a pipe whose reader went away as EINVAL or EPIPE.
bool IsClosedOutput(int error) { return error == EPIPE || error == EINVAL; }

bool DiskIsFull(const std::string& dir) {
  ULARGE_INTEGER available{};
  return GetDiskFreeSpaceExA(dir.c_str(), &available, nullptr, nullptr) && available.QuadPart == 0;
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
