// Running the tool and the examples as child processes in tests: output
// captured, every wait bounded.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace kr2270::testing {

struct ProcessResult {
  int exit_code = -1;  // -1 when killed by a signal or timed out
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs argv to completion, killing it after `limit`.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds limit = std::chrono::seconds(60));

// A child left running: its stdout is read line by line; with
// `capture_err`, its stderr is collected by WaitProcess.
struct RunningProcess {
  pid_t pid = -1;
  int out_fd = -1;
  int err_fd = -1;
  std::string buffered;
  std::string err_buffered;  // read by ReadErrorLine, not yet handed out
};

RunningProcess StartProcess(const std::vector<std::string>& argv, bool capture_err = false);

// Reads both outputs to their end and waits for the exit, killing the child
// after `limit`. The result's `out` is what stdout held after the lines
// already read.
ProcessResult WaitProcess(RunningProcess& process, std::chrono::milliseconds limit);

// Closes the reading end of the child's stdout, as `| head` does on exit.
void CloseOutput(RunningProcess& process);
// Next line of the child's stdout without its newline; empty on time-out or
// end of output.
std::string ReadLine(RunningProcess& process, std::chrono::milliseconds limit);
// The same for stderr, when it is captured.
std::string ReadErrorLine(RunningProcess& process, std::chrono::milliseconds limit);
// Sends `signal` and waits (bounded) for the exit; returns the exit code, or
// -1 when it had to be killed.
int StopProcess(RunningProcess& process, int signal, std::chrono::milliseconds limit);

// The ports in a simulated module's line "command_port=N data_port=M"
// (kr2270 sim and kr2270-sim print the same); empty when it is not one.
struct SimulatorPorts {
  std::string command;
  std::string data;
};
SimulatorPorts ParsePortLine(const std::string& line);

// `TOOL sim ARGS...` in a child process, with the ports it printed; at
// destruction it is continued (should a test have stopped it) and ended.
struct SimProcess {
  RunningProcess process;
  std::string port;
  std::string data_port;
  SimProcess(const std::string& tool, std::vector<std::string> args = {});
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  std::vector<std::string> HostArgs() const;
};

// Waits (bounded) until `ready` holds, looking every 5 ms: for what only a
// file shows, such as a CSV growing.
template <typename Predicate>
bool WaitFor(Predicate ready, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// -1 when there is no such file.
std::int64_t FileSize(const std::string& path);

std::vector<std::string> Lines(const std::string& text);
std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b);
std::vector<std::string> SplitCsvRow(const std::string& row);

// A fresh directory under the temporary directory, removed at destruction.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  std::string File(const std::string& name) const { return path + "/" + name; }
};

bool FileExists(const std::string& path);
std::string ReadFile(const std::string& path);

}  // namespace kr2270::testing
