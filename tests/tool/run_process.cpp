#include "run_process.h"

#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kr2270::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> ArgvOf(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  return args;
}

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Spawns argv with stdout (and stderr, when err_fd >= 0) going to the pipes.
pid_t Spawn(const std::vector<std::string>& argv, int out_fd, int err_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  if (err_fd >= 0) posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  pid_t pid = -1;
  auto args = ArgvOf(argv);
  const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

void MakePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

// Reads whatever is there; false at end of output.
bool ReadSome(int fd, std::string& into) {
  char buffer[65536];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  into.append(buffer, static_cast<size_t>(n));
  return true;
}

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
  int out[2];
  int err[2];
  MakePipe(out);
  MakePipe(err);
  const pid_t pid = Spawn(argv, out[1], err[1]);
  close(out[1]);
  close(err[1]);
  ProcessResult result;
  const auto deadline = Clock::now() + limit;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&result.out, &result.err};
  int open_pipes = 2;
  while (open_pipes > 0) {
    const int ready = poll(fds, 2, MillisecondsLeft(deadline));
    if (ready <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      if (!ReadSome(fds[i].fd, *into[i])) {
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = result.timed_out ? -1 : ExitCodeOf(status);
  return result;
}

RunningProcess StartProcess(const std::vector<std::string>& argv, bool capture_err) {
  int out[2];
  int err[2] = {-1, -1};
  MakePipe(out);
  if (capture_err) MakePipe(err);
  RunningProcess process;
  process.pid = Spawn(argv, out[1], err[1]);
  close(out[1]);
  if (capture_err) close(err[1]);
  process.out_fd = out[0];
  process.err_fd = err[0];
  return process;
}

ProcessResult WaitProcess(RunningProcess& process, std::chrono::milliseconds limit) {
  ProcessResult result;
  result.out = process.buffered;
  process.buffered.clear();
  const auto deadline = Clock::now() + limit;
  pollfd fds[2] = {{process.out_fd, POLLIN, 0}, {process.err_fd, POLLIN, 0}};
  std::string* into[2] = {&result.out, &result.err};
  int open_pipes = (fds[0].fd >= 0 ? 1 : 0) + (fds[1].fd >= 0 ? 1 : 0);
  while (open_pipes > 0) {
    if (poll(fds, 2, MillisecondsLeft(deadline)) <= 0) {
      result.timed_out = true;
      kill(process.pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      if (!ReadSome(fds[i].fd, *into[i])) {
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  int status = 0;
  waitpid(process.pid, &status, 0);
  for (int* fd : {&process.out_fd, &process.err_fd})
    if (*fd >= 0) close(*fd), *fd = -1;
  process.pid = -1;
  result.exit_code = result.timed_out ? -1 : ExitCodeOf(status);
  return result;
}

void CloseOutput(RunningProcess& process) {
  if (process.out_fd >= 0) close(process.out_fd);
  process.out_fd = -1;
}

namespace {

std::string ReadLineOf(int fd, std::string& buffered, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const auto newline = buffered.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered.substr(0, newline);
      buffered.erase(0, newline + 1);
      return line;
    }
    pollfd polled = {fd, POLLIN, 0};
    if (fd < 0 || poll(&polled, 1, MillisecondsLeft(deadline)) <= 0) return {};
    if (!ReadSome(fd, buffered)) return {};
  }
}

}  // namespace

std::string ReadLine(RunningProcess& process, std::chrono::milliseconds limit) {
  return ReadLineOf(process.out_fd, process.buffered, limit);
}

std::string ReadErrorLine(RunningProcess& process, std::chrono::milliseconds limit) {
  return ReadLineOf(process.err_fd, process.err_buffered, limit);
}

int StopProcess(RunningProcess& process, int signal, std::chrono::milliseconds limit) {
  if (process.pid < 0) return -1;
  kill(process.pid, signal);
  // The end of its output is the sign that it exited.
  const auto deadline = Clock::now() + limit;
  bool ended = false;
  while (!ended) {
    pollfd fd = {process.out_fd, POLLIN, 0};
    if (poll(&fd, 1, MillisecondsLeft(deadline)) <= 0) break;
    ended = !ReadSome(process.out_fd, process.buffered);
  }
  if (!ended) kill(process.pid, SIGKILL);
  int status = 0;
  waitpid(process.pid, &status, 0);
  close(process.out_fd);
  if (process.err_fd >= 0) close(process.err_fd);
  process.out_fd = process.err_fd = -1;
  process.pid = -1;
  return ended ? ExitCodeOf(status) : -1;
}

SimProcess::SimProcess(const std::string& tool, std::vector<std::string> args) {
  args.insert(args.begin(), {tool, "sim"});
  process = StartProcess(args);
  const SimulatorPorts ports = ParsePortLine(ReadLine(process, std::chrono::seconds(20)));
  port = ports.command;
  data_port = ports.data;
}

SimProcess::~SimProcess() {
  if (process.pid < 0) return;
  kill(process.pid, SIGCONT);
  StopProcess(process, SIGINT, std::chrono::seconds(20));
}

std::vector<std::string> SimProcess::HostArgs() const {
  return {"--host", "127.0.0.1", "--port", port, "--data-port", data_port};
}

std::int64_t FileSize(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<std::int64_t>(size);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<std::string> SplitCsvRow(const std::string& row) {
  std::vector<std::string> cells;
  std::istringstream in(row);
  for (std::string cell; std::getline(in, cell, ',');) cells.push_back(cell);
  return cells;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kr2270-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  std::filesystem::remove_all(path, error);
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

SimulatorPorts ParsePortLine(const std::string& line) {
  unsigned command = 0;
  unsigned data = 0;
  int used = 0;
  if (std::sscanf(line.c_str(), "command_port=%u data_port=%u%n", &command, &data, &used) != 2 ||
      static_cast<std::size_t>(used) != line.size())
    return {};
  return {std::to_string(command), std::to_string(data)};
}

}  // namespace kr2270::testing
