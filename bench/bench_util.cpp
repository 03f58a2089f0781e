#include "bench_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

extern char** environ;

namespace kr2270::bench {
namespace {

std::int64_t NsOf(const timeval& t) {
  return std::int64_t{t.tv_sec} * 1000000000 + std::int64_t{t.tv_usec} * 1000;
}

std::int64_t UsageNs(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return NsOf(usage.ru_utime) + NsOf(usage.ru_stime);
}

bool IsNumber(const std::string& token) {
  char* end = nullptr;
  std::strtod(token.c_str(), &end);
  return !token.empty() && end != nullptr && *end == '\0';
}

std::vector<char*> ArgvOf(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  for (const std::string& a : argv) pointers.push_back(const_cast<char*>(a.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Spawns argv with its stdout (and stderr when merge_stderr) going to out_fd.
pid_t Spawn(const std::vector<std::string>& argv, int out_fd, bool merge_stderr, bool search_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  if (merge_stderr) posix_spawn_file_actions_adddup2(&actions, out_fd, STDERR_FILENO);
  std::vector<char*> args = ArgvOf(argv);
  pid_t pid = -1;
  const int r = search_path ? posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ)
                            : posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return r == 0 ? pid : -1;
}

// Reads from fd until end of file.
std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      return text;
    }
  }
}

// Reads one line from fd, waiting at most timeout_ms in all.
bool ReadLine(int fd, int timeout_ms, std::string* line) {
  const double deadline = NowSeconds() + timeout_ms / 1000.0;
  for (;;) {
    const int left = static_cast<int>((deadline - NowSeconds()) * 1000.0);
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char c = 0;
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0) return false;
    if (c == '\n') return true;
    line->push_back(c);
  }
}

}  // namespace

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::int64_t ThreadCpuNs() { return UsageNs(RUSAGE_THREAD); }
std::int64_t ProcessCpuNs() { return UsageNs(RUSAGE_SELF); }

std::int64_t ThreadClockNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

double Percentile(std::vector<double> values, double p) {
  // A failed run leaves NaN: it has no rank among the measured values.
  values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }),
               values.end());
  if (values.empty()) return std::nan("");
  const auto n = static_cast<double>(values.size());
  const double rank = std::clamp(std::ceil(p / 100.0 * n), 1.0, n);
  const auto index = static_cast<std::size_t>(rank) - 1;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                   values.end());
  return values[index];
}

bool ParseStraceSummary(const std::string& text, SyscallCounts* counts) {
  // Rows: "% time, seconds, usecs/call, calls, [errors,] syscall".
  std::istringstream lines(text);
  std::string line;
  bool total_seen = false;
  *counts = SyscallCounts{};
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::vector<std::string> tokens;
    for (std::string t; fields >> t;) tokens.push_back(t);
    if (tokens.size() < 5 || !IsNumber(tokens[0]) || !IsNumber(tokens[3])) continue;
    const long calls = std::strtol(tokens[3].c_str(), nullptr, 10);
    if (tokens.back() == "total") {
      counts->total = calls;
      total_seen = true;
    } else {
      counts->calls[tokens.back()] = calls;
    }
  }
  return total_seen;
}

double CallsPerOperation(const SyscallCounts& fewer, const SyscallCounts& more,
                         long extra_operations) {
  if (extra_operations <= 0) return 0.0;
  return static_cast<double>(more.total - fewer.total) / static_cast<double>(extra_operations);
}

std::map<std::string, double> CallsPerOperationBySyscall(const SyscallCounts& fewer,
                                                         const SyscallCounts& more,
                                                         long extra_operations) {
  std::map<std::string, double> per;
  if (extra_operations <= 0) return per;
  for (const auto& [name, calls] : more.calls) {
    const auto before = fewer.calls.find(name);
    const long base = before == fewer.calls.end() ? 0 : before->second;
    const double value = static_cast<double>(calls - base) / static_cast<double>(extra_operations);
    if (std::fabs(value) >= 0.005) per[name] = value;
  }
  return per;
}

bool ParseDdRate(const std::string& text, double* bytes_per_second) {
  // "268435456 bytes (268 MB, 256 MiB) copied, 0.12 s, 2.2 GB/s"
  std::istringstream lines(text);
  std::string line;
  bool found = false;
  while (std::getline(lines, line)) {
    const auto copied = line.find(" copied, ");
    if (copied == std::string::npos) continue;
    const double bytes = std::strtod(line.c_str(), nullptr);
    const double seconds = std::strtod(line.c_str() + copied + 9, nullptr);
    if (bytes <= 0.0 || seconds <= 0.0) continue;
    *bytes_per_second = bytes / seconds;
    found = true;
  }
  return found;
}

std::int32_t RecommendedTransferBytes(std::int32_t group_bytes, double group_rate) {
  if (group_bytes <= 0) return 0;
  constexpr std::int32_t kRegisterMax = 65535;
  const auto ten_ms =
      std::max<std::int32_t>(1, static_cast<std::int32_t>(std::lround(group_rate / 100.0)));
  const std::int32_t largest = std::max<std::int32_t>(1, kRegisterMax / group_bytes);
  return std::min(ten_ms, largest) * group_bytes;
}

ProcessResult RunProcess(const std::vector<std::string>& argv) {
  ProcessResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  const double start = NowSeconds();
  const pid_t pid = Spawn(argv, fds[1], true, true);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return result;
  }
  result.output = ReadAll(fds[0]);
  close(fds[0]);
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.wall_seconds = NowSeconds() - start;
  result.cpu_ns = NsOf(usage.ru_utime) + NsOf(usage.ru_stime);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  return result;
}

SimProcess StartSimProcess(const std::string& executable, const std::vector<std::string>& options) {
  SimProcess sim;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return sim;
  std::vector<std::string> argv{executable};
  argv.insert(argv.end(), options.begin(), options.end());
  sim.pid = Spawn(argv, fds[1], false, false);
  close(fds[1]);
  std::string line;
  unsigned command_port = 0;
  unsigned data_port = 0;
  const bool ready =
      sim.pid > 0 && ReadLine(fds[0], 10000, &line) &&
      std::sscanf(line.c_str(), "command_port=%u data_port=%u", &command_port, &data_port) == 2;
  close(fds[0]);
  if (!ready) {
    StopSimProcess(sim);
    sim.pid = -1;
    return sim;
  }
  sim.command_port = static_cast<std::uint16_t>(command_port);
  sim.data_port = static_cast<std::uint16_t>(data_port);
  return sim;
}

std::int64_t StopSimProcess(SimProcess& sim) {
  if (sim.pid <= 0) return 0;
  // A pidfd becomes readable when the child exits: a bounded wait for it.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, sim.pid, 0));
  kill(sim.pid, SIGTERM);
  pollfd p{pidfd, POLLIN, 0};
  if (pidfd < 0 || poll(&p, 1, 5000) <= 0) kill(sim.pid, SIGKILL);
  if (pidfd >= 0) close(pidfd);
  rusage usage{};
  int status = 0;
  while (wait4(sim.pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  sim.pid = -1;
  return NsOf(usage.ru_utime) + NsOf(usage.ru_stime);
}

double LoadAverage() {
  double load[1] = {0.0};
  return getloadavg(load, 1) == 1 ? load[0] : -1.0;
}

}  // namespace kr2270::bench
