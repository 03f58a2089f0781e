#include <dlfcn.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "system.h"

namespace kr2270::tool {
namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_quit_on_interrupt{false};
// Read by the signal handler, so a fixed buffer rather than a std::string.
char g_remove_on_quit[4096] = {};
constexpr int kExitInterrupted = 130;

extern "C" void OnInterrupt(int) {
  g_interrupted.store(true);
  if (!g_quit_on_interrupt.load()) return;
  static const char kText[] = "kr2270: interrupted before any data was taken\n";
  if (g_remove_on_quit[0] != '\0') unlink(g_remove_on_quit);
  const ssize_t ignored = write(STDERR_FILENO, kText, sizeof kText - 1);
  (void)ignored;
  _exit(kExitInterrupted);
}

}  // namespace

void InstallSignalHandling() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() { return g_interrupted.load(); }

void SetQuitOnInterrupt(bool quit) {
  g_quit_on_interrupt.store(quit);
  if (quit && g_interrupted.load()) OnInterrupt(SIGINT);
}

void RemoveOnQuit(const std::string& path) {
  const bool quit = g_quit_on_interrupt.exchange(false);
  const std::size_t n = std::min(path.size(), sizeof g_remove_on_quit - 1);
  std::memcpy(g_remove_on_quit, path.data(), n);
  g_remove_on_quit[n] = '\0';
  g_quit_on_interrupt.store(quit);
}

int LastSystemError() { return errno; }

std::string SystemErrorText(int error) { return std::strerror(error); }

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

std::string LibraryVersion() {
  using VersionFunction = const char* (*)();
  // Looked up at run time: older builds of the library lack the export.
  void* symbol = dlsym(RTLD_DEFAULT, "KR2270_GetVersion");
  if (symbol == nullptr) return "unknown";
  const char* version = reinterpret_cast<VersionFunction>(symbol)();
  return version != nullptr ? version : "unknown";
}

}  // namespace kr2270::tool
