// Shared pieces of the benchmark program: clocks, CPU time, order
// statistics, parsing of the outputs of strace and dd, and the transfer size
// an application is advised to use.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kr2270::bench {

double NowSeconds();  // steady clock
// CPU time of the calling thread / of the whole process (user + system), as
// getrusage reports it.
std::int64_t ThreadCpuNs();
std::int64_t ProcessCpuNs();
// CPU time of the calling thread from the per-thread CPU clock: finer than
// getrusage, for short intervals.
std::int64_t ThreadClockNs();

// Nearest-rank percentile (p in 0..100) of the values, NaN ones left out;
// NaN when none is left.
double Percentile(std::vector<double> values, double p);
inline double Median(std::vector<double> values) { return Percentile(std::move(values), 50.0); }

// The call counts of an `strace -c` summary, by system call, and their total.
struct SyscallCounts {
  std::map<std::string, long> calls;
  long total = 0;
};
bool ParseStraceSummary(const std::string& text, SyscallCounts* counts);
// Calls per operation between two runs that differ only in the number of
// operations: fixed costs (start, connect, exit) cancel out.
double CallsPerOperation(const SyscallCounts& fewer, const SyscallCounts& more,
                         long extra_operations);
std::map<std::string, double> CallsPerOperationBySyscall(const SyscallCounts& fewer,
                                                         const SyscallCounts& more,
                                                         long extra_operations);

// Bytes per second from dd's final statistics line ("N bytes ... copied,
// S s, ..."); false when the text holds none.
bool ParseDdRate(const std::string& text, double* bytes_per_second);

// About 10 ms of stream in whole groups, no more than the 16-bit transfer-size
// register carries: what the tool uses and the README recommends.
std::int32_t RecommendedTransferBytes(std::int32_t group_bytes, double group_rate);

// A child process and what it left behind.
struct ProcessResult {
  int exit_status = -1;  // -1 when it did not exit normally
  std::string output;    // stdout and stderr, when captured
  double wall_seconds = 0.0;
  std::int64_t cpu_ns = 0;  // of the child and its waited-for children
};
// Runs argv[0] (searched in PATH) to completion, capturing its output.
ProcessResult RunProcess(const std::vector<std::string>& argv);

// The simulated module as a child process (kr2270-sim), so that its CPU time
// stays out of the figures of this process.
struct SimProcess {
  pid_t pid = -1;
  std::uint16_t command_port = 0;
  std::uint16_t data_port = 0;
};
// Starts the simulator with the extra options and waits (at most 10 s) for it
// to report its ports. pid -1 on failure.
SimProcess StartSimProcess(const std::string& executable, const std::vector<std::string>& options);
// Ends it (SIGTERM, then SIGKILL after 5 s); returns its CPU time.
std::int64_t StopSimProcess(SimProcess& sim);

// uptime's 1-minute load average.
double LoadAverage();

}  // namespace kr2270::bench
