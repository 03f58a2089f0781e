// The live view under its heaviest load: 16 viewers at the smallest window
// and the most columns, at 256000 groups per second with every channel,
// each reading as fast as it can. What it may cost: no group, and bounded
// memory. The scope runs as its own process (kr2270 scope on its built-in
// module), so that its memory is its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>
#include <thread>

#include "bench_util.h"
#include "sections.h"

extern char** environ;

namespace kr2270::bench {
namespace {

constexpr int kViewers = 16;

struct ScopeChild {
  pid_t pid = -1;
  int out = -1;
  std::string text;
};

ScopeChild StartScope(const std::string& tool, double seconds) {
  ScopeChild child;
  int fds[2];
  if (pipe(fds) != 0) return child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  const std::string duration = std::to_string(seconds);
  std::vector<std::string> args = {tool, "scope", "--rate", "8", "--seconds", duration};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&child.pid, tool.c_str(), &actions, nullptr, argv.data(), environ) != 0)
    child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  child.out = fds[0];
  return child;
}

// Reads the child's output up to `pattern`; the port of the page's URL.
int ReadPort(ScopeChild& child) {
  const std::regex url(R"(scope: http://127\.0\.0\.1:(\d+)/)");
  char buffer[4096];
  for (;;) {
    std::smatch m;
    if (std::regex_search(child.text, m, url)) return std::stoi(m[1]);
    const ssize_t n = read(child.out, buffer, sizeof buffer);
    if (n <= 0) return -1;
    child.text.append(buffer, static_cast<std::size_t>(n));
  }
}

long MemoryKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// One greedy viewer: asks for the stream and reads all it gets until the
// scope ends it; returns the bytes read.
std::int64_t Watch(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::int64_t bytes = 0;
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "GET /api/stream?window=0.05&columns=4000 HTTP/1.1\r\nHost: 127.0.0.1:" +
                                std::to_string(port) + "\r\n\r\n";
    if (send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      std::vector<char> buffer(1 << 20);
      for (ssize_t n; (n = recv(s, buffer.data(), buffer.size(), 0)) > 0;) bytes += n;
    }
  }
  close(s);
  return bytes;
}

struct ScopeRun {
  bool ok = false;
  long peak_kib = 0;
  long long lost = -1;
  long long frames_dropped = -1;
  double viewer_mb_per_s = 0.0;  // the slowest viewer's
};

long long Count(const std::string& text, const std::string& label) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(label + R"(:\s+(\d+))"))) return -1;
  return std::stoll(m[1]);
}

ScopeRun RunScope(const std::string& tool, double seconds, int viewers) {
  ScopeRun run;
  ScopeChild child = StartScope(tool, seconds);
  if (child.pid < 0) return run;
  const int port = ReadPort(child);
  std::vector<std::int64_t> bytes(static_cast<std::size_t>(viewers), 0);
  std::vector<std::thread> watching;
  const double started = NowSeconds();
  if (port > 0)
    for (int i = 0; i < viewers; ++i) watching.emplace_back([&, i] { bytes[static_cast<std::size_t>(i)] = Watch(port); });
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    while (!done.load()) {
      run.peak_kib = std::max({run.peak_kib, MemoryKiB(child.pid, "VmHWM"), MemoryKiB(child.pid, "VmRSS")});
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  char buffer[4096];
  for (ssize_t n; (n = read(child.out, buffer, sizeof buffer)) > 0;)
    child.text.append(buffer, static_cast<std::size_t>(n));
  int status = 0;
  waitpid(child.pid, &status, 0);
  close(child.out);
  done = true;
  sampler.join();
  for (std::thread& t : watching) t.join();
  const double elapsed = NowSeconds() - started;
  run.lost = Count(child.text, "lost groups");
  run.frames_dropped = Count(child.text, "frames dropped");
  if (viewers > 0)
    run.viewer_mb_per_s = static_cast<double>(*std::min_element(bytes.begin(), bytes.end())) / 1e6 / elapsed;
  run.ok = port > 0 && run.lost >= 0;
  return run;
}

}  // namespace

void RunScopeSection(const Config& config, Report& report) {
  if (config.tool_executable.empty()) {
    report.notes.push_back("Scope: not measured (the tool was not built)");
    return;
  }
  const double seconds = std::max(10.0, 60.0 * config.scale);
  const ScopeRun idle = RunScope(config.tool_executable, std::max(5.0, seconds / 6), 0);
  const ScopeRun busy = RunScope(config.tool_executable, seconds, kViewers);
  report.rows.push_back({"Scope, 16 greedy viewers at the smallest window, 256000/s: lost groups",
                         busy.ok ? static_cast<double>(busy.lost) : kNone, "", "", kNone,
                         Bound::kAtMost, GoalOn::kValue, 0.0});
  report.rows.push_back({"Scope, 16 greedy viewers: peak memory", busy.ok ? static_cast<double>(busy.peak_kib) / 1024.0 : kNone,
                         "MiB", "no viewer", idle.ok ? static_cast<double>(idle.peak_kib) / 1024.0 : kNone, Bound::kAtMost,
                         GoalOn::kValue, 256.0});
  char note[256];
  std::snprintf(note, sizeof note,
                "Scope: %.0f s with %d viewers (window 0.05 s, 4000 columns), every channel at "
                "256000 groups/s; %lld frames dropped for the viewers; the slowest viewer read "
                "%.1f MB/s; no viewer: %.0f s, %lld lost",
                seconds, kViewers, busy.frames_dropped, busy.viewer_mb_per_s,
                std::max(5.0, seconds / 6), idle.lost);
  report.notes.push_back(note);
}

}  // namespace kr2270::bench
