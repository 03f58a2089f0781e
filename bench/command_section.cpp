// Command round trips: this library, libmodbus and the hand-written floor,
// in interleaved rounds against one simulated module in a child process.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "bench_util.h"
#include "command_clients.h"
#include "sections.h"

namespace kr2270::bench {
namespace {

constexpr ClientKind kClients[] = {ClientKind::kLibrary, ClientKind::kLibmodbus,
                                   ClientKind::kFloor};
constexpr int kWarmup = 20;

struct OpSamples {
  std::vector<double> latency_us;
  std::int64_t cpu_ns = 0;
  long done = 0;
  long failures = 0;
};

struct ClientSamples {
  OpSamples write;
  OpSamples read;
};

using Operation = bool (*)(CommandClient&);

void MeasureBlock(CommandClient& client, Operation op, int count, OpSamples& samples) {
  const std::int64_t cpu0 = ThreadCpuNs();
  for (int i = 0; i < count; ++i) {
    const double t0 = NowSeconds();
    const bool ok = op(client);
    const double t1 = NowSeconds();
    samples.latency_us.push_back((t1 - t0) * 1e6);
    if (!ok) ++samples.failures;
  }
  samples.cpu_ns += ThreadCpuNs() - cpu0;
  samples.done += count;
}

// One round of one client: connect, warm up, a block of writes and one of reads.
bool MeasureRound(CommandClient& client, std::uint16_t port, int count, ClientSamples& samples) {
  if (!ConnectClient(client, port)) {
    CloseClient(client);
    return false;
  }
  for (int i = 0; i < kWarmup; ++i) {
    WriteOneRegister(client);
    ReadSixteenRegisters(client);
  }
  MeasureBlock(client, WriteOneRegister, count, samples.write);
  MeasureBlock(client, ReadSixteenRegisters, count, samples.read);
  CloseClient(client);
  return true;
}

const char* OpName(bool write) { return write ? "write" : "read"; }

std::string ClientArg(ClientKind kind) {
  switch (kind) {
    case ClientKind::kLibrary:
      return "library";
    case ClientKind::kLibmodbus:
      return "libmodbus";
    case ClientKind::kFloor:
      break;
  }
  return "floor";
}

bool CountSyscalls(const Config& config, ClientKind kind, bool write, std::uint16_t port,
                   long count, SyscallCounts* counts) {
  const std::string out = config.temp_dir + "/strace-" + ClientArg(kind) + "-" + OpName(write) +
                          "-" + std::to_string(count) + ".txt";
  const ProcessResult run =
      RunProcess({"strace", "-f", "-c", "-o", out, config.self, "--driver", ClientArg(kind), "--op",
                  OpName(write), "--port", std::to_string(port), "--count", std::to_string(count)});
  std::ifstream file(out);
  std::stringstream text;
  text << file.rdbuf();
  unlink(out.c_str());
  return run.exit_status == 0 && ParseStraceSummary(text.str(), counts);
}

struct SyscallFigures {
  double per_command[3][2] = {};  // client, op (0 write, 1 read)
  bool ok = true;
};

// Every system call counted, not only network, poll, read and write: the
// select() of libmodbus would escape such a filter.
SyscallFigures MeasureSyscalls(const Config& config, std::uint16_t port, Report& report) {
  SyscallFigures figures;
  const long fewer = 200;
  const long more = fewer + std::max<long>(200, static_cast<long>(2000 * config.scale));
  for (int c = 0; c < 3; ++c) {
    for (int w = 0; w < 2; ++w) {
      SyscallCounts a, b;
      const bool write = w == 0;
      if (!CountSyscalls(config, kClients[c], write, port, fewer, &a) ||
          !CountSyscalls(config, kClients[c], write, port, more, &b)) {
        figures.ok = false;
        figures.per_command[c][w] = kNone;
        continue;
      }
      figures.per_command[c][w] = CallsPerOperation(a, b, more - fewer);
      std::string breakdown;
      for (const auto& [name, calls] : CallsPerOperationBySyscall(a, b, more - fewer)) {
        breakdown += " " + name + " " + FormatNumber(calls);
      }
      report.notes.push_back(std::string("System calls per ") + OpName(write) + " of " +
                             ClientName(kClients[c]) + ":" + breakdown);
    }
  }
  return figures;
}

double CpuPerCommandUs(const OpSamples& s) {
  return s.done == 0 ? kNone : static_cast<double>(s.cpu_ns) / 1000.0 / static_cast<double>(s.done);
}

void AddOperationRows(bool write, const ClientSamples (&s)[3], Report& report) {
  const OpSamples& lib = write ? s[0].write : s[0].read;
  const OpSamples& modbus = write ? s[1].write : s[1].read;
  const OpSamples& floor = write ? s[2].write : s[2].read;
  const std::string what = write ? "Command write (1 register)" : "Command read (16 registers)";
  report.rows.push_back({what + ", median", Median(lib.latency_us), "µs", "hand-written client",
                         Median(floor.latency_us), Bound::kAtMost, GoalOn::kRatio, 1.10});
  report.rows.push_back({what + ", median", Median(lib.latency_us), "µs", "libmodbus",
                         Median(modbus.latency_us), Bound::kAtMost, GoalOn::kRatio, 0.95});
  report.rows.push_back({what + ", 99th percentile", Percentile(lib.latency_us, 99.0), "µs",
                         "hand-written client", Percentile(floor.latency_us, 99.0), Bound::kAtMost,
                         GoalOn::kRatio, 1.20});
  report.rows.push_back({what + ", CPU per command", CpuPerCommandUs(lib), "µs", "libmodbus",
                         CpuPerCommandUs(modbus), Bound::kAtMost, GoalOn::kRatio, 0.85});
  // What no client can beat: the floor beside libmodbus.
  report.rows.push_back({what + ", median (hand-written)", Median(floor.latency_us), "µs",
                         "libmodbus", Median(modbus.latency_us), Bound::kNoGoal, GoalOn::kRatio,
                         kNone});
  report.rows.push_back({what + ", CPU per command (hand-written)", CpuPerCommandUs(floor), "µs",
                         "libmodbus", CpuPerCommandUs(modbus), Bound::kNoGoal, GoalOn::kRatio,
                         kNone});
  for (int c = 0; c < 3; ++c) {
    const OpSamples& o = write ? s[c].write : s[c].read;
    if (o.failures != 0) {
      report.notes.push_back(std::string(ClientName(kClients[c])) + ": " +
                             std::to_string(o.failures) + " failed " + OpName(write) + "s");
    }
  }
}

}  // namespace

void RunCommandSection(const Config& config, Report& report) {
  SimProcess sim = StartSimProcess(config.sim_executable, {});
  if (sim.pid < 0) {
    report.notes.push_back("Command section skipped: the simulator did not start");
    return;
  }
  // Many short rounds: a burst of load on the machine then falls on every
  // client alike.
  const int rounds = std::max(10, static_cast<int>(60 * config.scale));
  const int per_block = 100;
  ClientSamples samples[3];
  CommandClient clients[3];
  for (int c = 0; c < 3; ++c) clients[c].kind = kClients[c];
  for (int r = 0; r < rounds; ++r) {
    // The order rotates so that no client always follows the same one.
    for (int j = 0; j < 3; ++j) {
      const int c = (r + j) % 3;
      if (!MeasureRound(clients[c], sim.command_port, per_block, samples[c])) {
        report.notes.push_back(std::string(ClientName(kClients[c])) + " could not connect");
      }
    }
  }
  for (CommandClient& client : clients) ReleaseClient(client);
  const SyscallFigures calls = MeasureSyscalls(config, sim.command_port, report);
  const std::int64_t sim_cpu = StopSimProcess(sim);

  AddOperationRows(true, samples, report);
  AddOperationRows(false, samples, report);
  for (int w = 0; w < 2; ++w) {
    const std::string what = std::string("System calls per command, ") + OpName(w == 0);
    report.rows.push_back({what, calls.per_command[0][w], "", "hand-written client",
                           calls.per_command[2][w], Bound::kAtMost, GoalOn::kValue, 3.0});
    report.rows.push_back({what + " (libmodbus)", calls.per_command[1][w], "",
                           "hand-written client", calls.per_command[2][w], Bound::kNoGoal,
                           GoalOn::kValue, kNone});
  }
  char note[160];
  std::snprintf(note, sizeof note,
                "Commands: %d rounds of %d writes and %d reads per client; simulator CPU %.2f s",
                rounds, per_block, per_block, static_cast<double>(sim_cpu) / 1e9);
  report.notes.push_back(note);
}

int RunCommandDriver(const std::string& client, const std::string& op, unsigned port, long count) {
  CommandClient c;
  if (client == "library") {
    c.kind = ClientKind::kLibrary;
  } else if (client == "libmodbus") {
    c.kind = ClientKind::kLibmodbus;
  } else if (client == "floor") {
    c.kind = ClientKind::kFloor;
  } else {
    return 2;
  }
  const Operation operation = op == "write" ? WriteOneRegister : ReadSixteenRegisters;
  if (!ConnectClient(c, static_cast<std::uint16_t>(port))) {
    ReleaseClient(c);
    return 1;
  }
  long failures = 0;
  for (long i = 0; i < count; ++i) failures += operation(c) ? 0 : 1;
  ReleaseClient(c);
  return failures == 0 ? 0 : 1;
}

}  // namespace kr2270::bench
