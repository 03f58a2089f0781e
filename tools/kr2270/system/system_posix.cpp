#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
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

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::FILE* CreateExclusive(const std::string& path) {
  // O_EXCL refuses whatever is there, and with O_CREAT a link is never followed.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    unlink(path.c_str());
    errno = error;
  }
  return file;
}

bool MoveInto(const std::string& from, const std::string& to, bool replace) {
  if (replace) return std::rename(from.c_str(), to.c_str()) == 0;
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: link() refuses an existing name as well.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

bool EntryExists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

bool RemoveEntry(const std::string& path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

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
