// Streaming at the module's highest load: zero loss, the library's CPU beside
// a plain receiver's, the host's capacity in flood mode, and how many
// modules one host takes at once.
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "sections.h"
#include "stream_runs.h"

namespace kr2270::bench {
namespace {

constexpr std::int32_t kTimeoutMs = 2000;
constexpr double kGroupBytes = 58.0;
constexpr int kFloodRounds = 5;

double Percent(std::int64_t cpu_ns, double seconds) {
  return seconds > 0.0 ? static_cast<double>(cpu_ns) / 1e9 / seconds * 100.0 : kNone;
}

struct PlainTotals {
  double seconds = 0.0;
  std::uint64_t bytes = 0;
  std::int64_t cpu_ns = 0;
  int failures = 0;
  void Add(const PlainRun& run) {
    if (!run.ok) {
      ++failures;
      return;
    }
    seconds += run.seconds;
    bytes += run.bytes;
    cpu_ns += run.cpu_ns;
  }
};

void AddPacedRows(const Config& config, const SimProcess& sim, Report& report) {
  const double plain_seconds = std::max(2.0, 5.0 * config.scale);
  const double stream_seconds = std::max(3.0, config.stream_seconds * config.scale);
  PlainTotals plain;
  plain.Add(RunPlainReceiver(sim, kHighestRateCode, plain_seconds));
  const LibraryRun lib = RunLibraryStream(sim, kHighestRateCode, stream_seconds, Pace::kEvery10Ms,
                                          Check::kEveryGroup, true);
  plain.Add(RunPlainReceiver(sim, kHighestRateCode, plain_seconds));

  const double lib_total = Percent(lib.receiver_cpu_ns + lib.app_cpu_ns, lib.seconds);
  const double lib_receiver = Percent(lib.receiver_cpu_ns, lib.seconds);
  const double plain_cpu = Percent(plain.cpu_ns, plain.seconds);
  report.rows.push_back({"Streaming 58 B x 256000/s: lost groups",
                         lib.ok ? static_cast<double>(lib.lost) : kNone, "", "", kNone,
                         Bound::kAtMost, GoalOn::kValue, 0.0});
  report.rows.push_back({"Streaming: groups off the sequence pattern",
                         lib.ok ? static_cast<double>(lib.mismatches) : kNone, "", "", kNone,
                         Bound::kAtMost, GoalOn::kValue, 0.0});
  report.rows.push_back({"Streaming: library CPU (receiver + split, fetch, convert)", lib_total,
                         "% core", "plain receiver", plain_cpu, Bound::kAtMost, GoalOn::kValue,
                         3.0});
  report.rows.push_back({"Streaming: receiver thread CPU", lib_receiver, "% core", "plain receiver",
                         plain_cpu, Bound::kAtMost, GoalOn::kRatio, 1.25});
  char note[320];
  std::snprintf(note, sizeof note,
                "Streaming: %.1f s, %llu groups received (%.4f of %.0f/s x time before the "
                "stop), receiver %.2f %%, application thread %.2f %% (split, fetch, convert of "
                "8 analog + 4 counter channels), connection lost: %s; plain receiver %.1f s, "
                "%.2f MB/s, %d failed runs",
                lib.seconds, static_cast<unsigned long long>(lib.groups),
                lib.seconds > 0 ? static_cast<double>(lib.groups_before_stop) /
                                      (kHighestGroupRate * lib.seconds)
                                : 0.0,
                kHighestGroupRate, lib_receiver, Percent(lib.app_cpu_ns, lib.seconds),
                lib.data_lost ? "yes" : "no", plain.seconds,
                plain.seconds > 0 ? static_cast<double>(plain.bytes) / plain.seconds / 1e6 : 0.0,
                plain.failures);
  report.notes.push_back(note);
}

// Both receivers in interleaved rounds; the figures are the medians of the
// rounds, which move a lot with where the scheduler puts three busy threads
// (simulator, receiver, application) on two cores.
void AddFloodRows(const Config& config, const SimProcess& flood, Report& report) {
  const double seconds = std::max(1.0, 2.0 * config.scale);
  std::vector<double> plain_rates, lib_rates;
  std::uint64_t lib_lost = 0, lib_gaps = 0, lib_mismatches = 0;
  int failures = 0;
  std::string rounds;
  for (int round = 0; round < kFloodRounds; ++round) {
    const PlainRun plain = RunPlainReceiver(flood, kHighestRateCode, seconds);
    const LibraryRun lib = RunLibraryStream(flood, kHighestRateCode, seconds, Pace::kContinuous,
                                            Check::kEndsOnly, false);
    const double plain_rate =
        plain.ok ? static_cast<double>(plain.bytes) / kGroupBytes / plain.seconds : kNone;
    const double lib_rate =
        lib.ok ? static_cast<double>(lib.groups_before_stop) / lib.seconds : kNone;
    failures += (plain.ok ? 0 : 1) + (lib.ok ? 0 : 1);
    plain_rates.push_back(plain_rate);
    lib_rates.push_back(lib_rate);
    lib_lost += lib.lost;
    lib_gaps += lib.gaps;
    lib_mismatches += lib.mismatches;
    rounds += " " + FormatNumber(plain_rate * kGroupBytes / 1e6) + "/" +
              FormatNumber(lib_rate * kGroupBytes / 1e6);
  }
  report.rows.push_back({"Flood: host capacity (receive, ring, split, fetch)",
                         Median(lib_rates) / 1e6, "M groups/s", "plain receiver",
                         Median(plain_rates) / 1e6, Bound::kAtLeast, GoalOn::kRatio, 0.8});
  char note[512];
  std::snprintf(
      note, sizeof note,
      "Flood: %d rounds of %.0f s, medians; library %.0f MB/s, %llu groups dropped at the "
      "full ring (%llu jumps seen), %llu splits off the pattern; plain receiver %.0f "
      "MB/s; %d failed runs; rounds (plain/library MB/s):%s",
      kFloodRounds, seconds, Median(lib_rates) * kGroupBytes / 1e6,
      static_cast<unsigned long long>(lib_lost), static_cast<unsigned long long>(lib_gaps),
      static_cast<unsigned long long>(lib_mismatches), Median(plain_rates) * kGroupBytes / 1e6,
      failures, rounds.c_str());
  report.notes.push_back(note);
}

struct ModuleStream {
  SimProcess sim;
  KR2270Device* device = nullptr;
  std::unique_ptr<StreamConsumer> consumer;
  double started = 0.0;
  double stopped = 0.0;
  bool ok = false;
};

bool OpenModule(const Config& config, ModuleStream& m, std::int32_t transfer) {
  m.sim = StartSimProcess(config.sim_executable, {"--sequence"});
  m.device = KR2270_DeviceCreate();
  m.consumer = std::make_unique<StreamConsumer>();
  if (m.sim.pid < 0 || m.device == nullptr) return false;
  PrepareConsumer(*m.consumer, m.device, FullLayout(), 32768);
  return KR2270_CmdConnect(m.device, "127.0.0.1", 0, m.sim.command_port, m.sim.data_port,
                           kTimeoutMs) == 0 &&
         ConfigureFullStream(m.device, kHighestRateCode, transfer, kTimeoutMs) == 0;
}

// n modules at the highest load for `seconds`: every one must keep up, lose
// nothing and deliver the pattern unbroken.
bool RunModules(const Config& config, int n, double seconds, Report& report) {
  const std::int32_t transfer = RecommendedTransferBytes(58, kHighestGroupRate);
  std::vector<ModuleStream> modules(static_cast<std::size_t>(n));
  bool ok = true;
  for (ModuleStream& m : modules) ok = OpenModule(config, m, transfer) && ok;
  for (ModuleStream& m : modules) {
    m.ok = ok && KR2270_HcStart(m.device, 1, kTimeoutMs) == 0;
    m.started = NowSeconds();
  }
  const double t0 = NowSeconds();
  while (ok && NowSeconds() - t0 < seconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (ModuleStream& m : modules) ConsumeAll(*m.consumer);
  }
  std::uint64_t lost = 0, mismatches = 0, groups = 0;
  double worst_share = 1.0;
  bool link_lost = false;
  for (ModuleStream& m : modules) {
    if (m.device == nullptr) continue;
    ConsumeAll(*m.consumer);
    const std::uint64_t before_stop = m.consumer->next_group;
    m.stopped = NowSeconds();
    KR2270_HcStart(m.device, 0, kTimeoutMs);
    ConsumeAll(*m.consumer);
    std::uint64_t l = 0;
    KR2270_HcGetLostGroups(m.device, &l);
    lost += l;
    link_lost = link_lost || KR2270_HcIsDataLost(m.device) == 1;
    mismatches += m.consumer->mismatches;
    groups += m.consumer->next_group;
    const double expected = kHighestGroupRate * (m.stopped - m.started);
    if (expected > 0)
      worst_share = std::min(worst_share, static_cast<double>(before_stop) / expected);
    ok = ok && m.ok;
    KR2270_CmdClose(m.device);
    KR2270_DeviceClose(m.device);
  }
  std::int64_t sim_cpu = 0;
  for (ModuleStream& m : modules) sim_cpu += StopSimProcess(m.sim);
  // A host that falls behind loses nothing at first (the backlog waits in
  // the socket), so keeping pace is part of the test.
  const bool pass = ok && lost == 0 && mismatches == 0 && !link_lost && worst_share >= 0.98;
  char note[256];
  std::snprintf(note, sizeof note,
                "%d modules at once for %.0f s: %s; %llu groups, %llu lost, %llu off the "
                "pattern, slowest module received %.4f of its stream, simulators %.1f %% of a core",
                n, seconds, pass ? "pass" : "fail", static_cast<unsigned long long>(groups),
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(mismatches),
                worst_share, Percent(sim_cpu, seconds));
  report.notes.push_back(note);
  return pass;
}

}  // namespace

void RunStreamSection(const Config& config, Report& report) {
  SimProcess paced = StartSimProcess(config.sim_executable, {"--sequence"});
  if (paced.pid < 0) {
    report.notes.push_back("Streaming skipped: the simulator did not start");
  } else {
    AddPacedRows(config, paced, report);
    StopSimProcess(paced);
  }

  SimProcess flood = StartSimProcess(config.sim_executable, {"--sequence", "--flood"});
  if (flood.pid < 0) {
    report.notes.push_back("Flood skipped: the simulator did not start");
  } else {
    AddFloodRows(config, flood, report);
    StopSimProcess(flood);
  }

  const double seconds = std::max(3.0, 10.0 * config.scale);
  int most = 0;
  for (int n : config.module_counts) {
    if (!RunModules(config, n, seconds, report)) break;
    most = n;
  }
  report.rows.push_back({"Modules streaming at once, zero loss", static_cast<double>(most), "", "",
                         kNone, Bound::kAtLeast, GoalOn::kValue, 8.0});
}

}  // namespace kr2270::bench
