// Latency from the simulator sending a group to the application counting it,
// with the recommended transfer size. The simulator runs in this process so
// that its send times are on this process's monotonic clock: group g is due
// at the run's start + g / rate and leaves in the simulator's next 1 ms chunk.
#include <sys/prctl.h>
#include <sys/socket.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "bench_util.h"
#include "sections.h"
#include "sim/simulator.h"
#include "stream_runs.h"

namespace kr2270::bench {
namespace {

constexpr std::int32_t kTimeoutMs = 2000;
// The first groups carry the connection's start-up, not the steady state.
constexpr double kSettleSeconds = 0.3;
constexpr std::size_t kGroupBytes = 58;

struct InProcessSim {
  sim::Simulator simulator;
  double epoch = 0.0;        // model time 0 on this process's clock
  double epoch_error = 0.0;  // how far off epoch may be
  explicit InProcessSim(const sim::Options& options) : simulator(options) {}
};

// Model time is the monotonic clock less the simulator's epoch: reading it
// between two clock readings gives the epoch to within their distance. The
// tightest of a few brackets wins.
bool StartInProcess(InProcessSim& s) {
  if (s.simulator.Start() != 0) return false;
  s.epoch_error = 1.0;
  for (int i = 0; i < 20; ++i) {
    const double before = NowSeconds();
    const double model = s.simulator.model_time();
    const double after = NowSeconds();
    if ((after - before) / 2 < s.epoch_error) {
      s.epoch = (before + after) / 2 - model;
      s.epoch_error = (after - before) / 2;
    }
  }
  return true;
}

// When group g was due to leave, on this process's clock.
struct SendClock {
  double start = 0.0;  // the run's group 0
  double rate = 0.0;
  double TimeOf(std::uint64_t g) const { return start + static_cast<double>(g) / rate; }
};

SendClock ClockOfRun(const InProcessSim& s) {
  return {s.epoch + s.simulator.StreamGroupTime(0), s.simulator.group_rate()};
}

void Record(const SendClock& clock, std::uint64_t first, std::uint64_t count, double arrived,
            std::vector<double>& latency_us) {
  for (std::uint64_t g = first; g < first + count; ++g) {
    const double sent = clock.TimeOf(g);
    if (sent - clock.start >= kSettleSeconds) latency_us.push_back((arrived - sent) * 1e6);
  }
}

std::vector<double> LibraryLatency(InProcessSim& s, std::int32_t rate_code, double group_rate,
                                   double seconds, std::uint64_t* off_pattern) {
  std::vector<double> latency_us;
  KR2270Device* device = KR2270_DeviceCreate();
  if (device == nullptr) return latency_us;
  StreamConsumer consumer;
  PrepareConsumer(consumer, device, FullLayout(), 65536);
  consumer.check = Check::kEndsOnly;
  consumer.convert = false;
  const std::int32_t transfer = RecommendedTransferBytes(kGroupBytes, group_rate);
  if (KR2270_CmdConnect(device, "127.0.0.1", 0, s.simulator.command_port(), s.simulator.data_port(),
                        kTimeoutMs) == 0 &&
      ConfigureFullStream(device, rate_code, transfer, kTimeoutMs) == 0 &&
      KR2270_HcStart(device, 1, kTimeoutMs) == 0) {
    const double t0 = NowSeconds();
    SendClock clock;
    while (NowSeconds() - t0 < seconds) {
      const std::int32_t k = ConsumeOnce(consumer);
      if (k == 0) {
        KR2270_HcWaitGroups(device, 1, 100);
        continue;
      }
      const double arrived = NowSeconds();
      if (clock.rate == 0.0) clock = ClockOfRun(s);
      // The split hands out every F-th group of the module's stream, and the
      // consumer names the last one's index.
      const auto factor = static_cast<std::uint64_t>(std::llround(clock.rate / group_rate));
      const std::uint64_t last = consumer.next_group - 1;
      for (std::uint64_t i = 0; i < static_cast<std::uint64_t>(k); ++i) {
        Record(clock, last - i * factor, 1, arrived, latency_us);
      }
    }
    KR2270_HcStart(device, 0, kTimeoutMs);
  }
  *off_pattern = consumer.mismatches;
  KR2270_CmdClose(device);
  KR2270_DeviceClose(device);
  return latency_us;
}

// A blocking recv of a large buffer, stamping each group as it completes.
std::vector<double> PlainLatency(InProcessSim& s, std::int32_t device_rate_code, double seconds) {
  std::vector<double> latency_us;
  PlainStream stream;
  if (OpenPlainStream(s.simulator.command_port(), s.simulator.data_port(), device_rate_code,
                      &stream)) {
    std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
    std::uint64_t bytes = 0;
    SendClock clock;
    const double t0 = NowSeconds();
    while (NowSeconds() - t0 < seconds) {
      const ssize_t n = recv(stream.fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      const double arrived = NowSeconds();
      if (clock.rate == 0.0) clock = ClockOfRun(s);
      const std::uint64_t complete_before = bytes / kGroupBytes;
      bytes += static_cast<std::uint64_t>(n);
      Record(clock, complete_before, bytes / kGroupBytes - complete_before, arrived, latency_us);
    }
  }
  ClosePlainStream(stream);
  return latency_us;
}

}  // namespace

namespace {

struct RateRow {
  std::int32_t rate_code;
  std::int32_t device_rate_code;  // what the plain receiver asks the module for
  double group_rate;              // groups the application receives per second
};

// Every rate code, highest load first.
constexpr RateRow kRateRows[] = {{8, 8, 256000.0},   {24, 24, 128000.0}, {40, 40, 64000.0},
                                 {36, 36, 32000.0},  {16, 36, 16000.0},  {56, 56, 8000.0},
                                 {52, 52, 4000.0},   {48, 52, 1000.0}};
constexpr double kMedianGoalUs = 2000.0;
constexpr double kTailGoalUs = 5000.0;

void RunSender(const Config& config, Report& report, bool no_delay) {
  sim::Options options;
  options.sequence = true;
  options.data_no_delay = no_delay;
  InProcessSim s(options);
  const char* sender = no_delay ? "TCP_NODELAY sender" : "Nagle sender";
  if (!StartInProcess(s)) {
    report.notes.push_back(std::string("Latency skipped (") + sender +
                           "): the simulator did not start");
    return;
  }
  const double seconds = std::max(1.0, 3.0 * config.scale);
  for (const RateRow& r : kRateRows) {
    std::uint64_t off_pattern = 0;
    const std::vector<double> lib =
        LibraryLatency(s, r.rate_code, r.group_rate, seconds, &off_pattern);
    const std::vector<double> plain = PlainLatency(s, r.device_rate_code, seconds);
    const std::string what =
        "Latency at rate code " + std::to_string(r.rate_code) + ", " + sender;
    report.rows.push_back({what + ", median", Median(lib), "µs", "plain receiver", Median(plain),
                           Bound::kAtMost, GoalOn::kValue, kMedianGoalUs});
    report.rows.push_back({what + ", 99th percentile", Percentile(lib, 99.0), "µs",
                           "plain receiver", Percentile(plain, 99.0), Bound::kAtMost,
                           GoalOn::kValue, kTailGoalUs});
    char note[240];
    std::snprintf(note, sizeof note,
                  "Latency at rate code %d, %s: transfer size %d bytes, %zu groups timed "
                  "(library), %zu (plain), %llu split ends off the pattern",
                  r.rate_code, sender, RecommendedTransferBytes(kGroupBytes, r.group_rate),
                  lib.size(), plain.size(), static_cast<unsigned long long>(off_pattern));
    report.notes.push_back(note);
  }
  char note[200];
  std::snprintf(note, sizeof note,
                "Latency clock (%s): the simulator's epoch is known to +-%.1f us; its 1 ms "
                "chunks add 0 to 1 ms to every figure, plain receiver included",
                sender, s.epoch_error * 1e6);
  report.notes.push_back(note);
  s.simulator.Stop();
}

}  // namespace

void RunLatencySection(const Config& config, Report& report) {
  // Short sleeps of the polling application end when asked, not 50 us later.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  RunSender(config, report, false);
  RunSender(config, report, true);
}

}  // namespace kr2270::bench
