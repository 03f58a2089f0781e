#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "system/interrupt.h"
#include "system/system.h"

namespace kr2270::tool {
namespace {

extern "C" void OnInterrupt(int) { NoteInterrupt(); }

}  // namespace

void InstallSignalHandling() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void QuitInterrupted() {
  static const char kText[] = "kr2270: interrupted before any data was taken\n";
  if (g_interrupt.remove_on_quit[0] != '\0') unlink(g_interrupt.remove_on_quit);
  const ssize_t ignored = write(STDERR_FILENO, kText, sizeof kText - 1);
  (void)ignored;
  _exit(kExitInterrupted);
}

bool IsClosedOutput(int error) { return error == EPIPE; }

bool DiskIsFull(const std::string& dir) {
  struct statvfs info {};
  return statvfs(dir.c_str(), &info) == 0 && info.f_bavail == 0;
}

std::string UtcTimestampNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string LocalTimeZone() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char offset[8];
  char name[64];
  std::strftime(offset, sizeof offset, "%z", &local);
  std::strftime(name, sizeof name, "%Z", &local);
  // "+0100" -> "+01:00", as ISO 8601 writes it.
  const std::string hhmm(offset);
  const std::string text = hhmm.size() == 5 ? hhmm.substr(0, 3) + ':' + hhmm.substr(3) : hhmm;
  return text + " (" + name + ")";
}

void LowerThreadPriority() {
  // Linux gives each thread its own nice value; raising it needs no privilege.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
}

bool ListenMayReuseAddress() { return true; }

std::string LibraryVersion() {
  using VersionFunction = const char* (*)();
  // Looked up at run time: older builds of the library lack the export.
  void* symbol = dlsym(RTLD_DEFAULT, "KR2270_GetVersion");
  if (symbol == nullptr) return "unknown";
  const char* version = reinterpret_cast<VersionFunction>(symbol)();
  return version != nullptr ? version : "unknown";
}

}  // namespace kr2270::tool
