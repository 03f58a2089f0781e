// kr2270 acquire: stream from a module to CSV and/or a recording.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <memory>

#include "run/acquisition.h"
#include "app/commands.h"
#include "app/connection.h"
#include "app/metrics.h"
#include "output/csv.h"
#include "output/recording_files.h"
#include "app/report.h"
#include "system/system.h"

namespace kr2270::tool {
namespace {

struct AcquireOptions {
  ConnectionOptions connection;
  double seconds = 0.0;
  std::int64_t groups = 0;
  std::string rate = "56";
  std::string channels = "1-8";
  int code_bytes = 4;
  bool digital = false;
  std::string counters;
  std::string encoders;
  int average = 0;
  int transfer_bytes = 0;
  RangeOptions ranges;
  std::string csv_path;
  bool codes = false;
  bool overwrite = false;
  std::string record_dir;
  double reconnect_s = 0.0;
  MetricsOptions metrics;
};

StreamSelection SelectionFromOptions(const AcquireOptions& o, const RateInfo& rate) {
  StreamSelection s;
  if (o.channels != "none")
    s.analog = SelectionOf<kAnalogChannels>(ParseNumberList(o.channels, kAnalogChannels, "--channels"));
  s.code_bytes = o.code_bytes;
  s.digital = o.digital;
  if (!o.counters.empty())
    s.counters = SelectionOf<kCounters>(ParseNumberList(o.counters, kCounters, "--counters"));
  if (!o.encoders.empty())
    s.encoders = SelectionOf<kEncoders>(ParseNumberList(o.encoders, kEncoders, "--encoders"));
  s.average = o.average;
  s.group_rate = rate.group_rate;
  return s;
}

void CheckSelection(const StreamSelection& s) {
  const bool others = s.digital || s.counters != decltype(s.counters){} ||
                      s.encoders != decltype(s.encoders){};
  if (AnalogCount(s) == 0 && !others)
    FailUsage("nothing to acquire: choose --channels, --di, --counters or --encoders");
  if (s.average > 0 && others)
    FailUsage("--average works with analog channels only (drop --di, --counters, --encoders)");
  if (s.average > 0 && AnalogCount(s) == 0) FailUsage("--average needs analog channels");
}

// Outputs counted as int64; beyond 2^62 (millions of years at any rate) a
// span is no span the tool can count.
constexpr double kMostOutputs = 4.6e18;

std::int64_t TargetOutputs(const AcquireOptions& o, const StreamSelection& s) {
  const double per_output = std::max(1, s.average);
  if (o.groups > 0) return static_cast<std::int64_t>(std::ceil(static_cast<double>(o.groups) / per_output));
  if (o.seconds > 0.0) {
    const double outputs = o.seconds * s.group_rate / per_output;
    if (!(outputs < kMostOutputs)) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", o.seconds);
      FailUsage(std::string("--seconds ") + seconds + " is more groups than can be counted");
    }
    return std::max<std::int64_t>(1, std::llround(outputs));
  }
  return -1;
}

AcquisitionPlan PlanFromOptions(const AcquireOptions& o) {
  const RateInfo rate = ParseRate(o.rate);
  AcquisitionPlan plan;
  plan.selection = SelectionFromOptions(o, rate);
  CheckSelection(plan.selection);
  plan.rate_code = rate.code;
  plan.ranges = ParseRanges(o.ranges);
  plan.transfer_bytes = o.transfer_bytes > 0 ? o.transfer_bytes
                                             : DefaultTransferBytes(GroupBytes(plan.selection), rate);
  plan.target = TargetOutputs(o, plan.selection);
  plan.record_dir = o.record_dir;
  plan.reconnect_ms = ReconnectMs(o.reconnect_s);
  return plan;
}

// Why the CSV does not hold the whole run, or empty when it does. A run
// that took its span across a reconnect did not end early: groups are
// missing in its gaps, which the gap column marks.
std::string CsvShortfall(const AcquisitionPlan& plan, const AcquisitionResult& result) {
  const int exit_code = ExitCodeOf(result);
  if (exit_code == kExitOk) return "";
  const bool span_taken = plan.target >= 0 && result.outputs >= plan.target;
  const bool run_kept = span_taken || result.end == RunEnd::kInterrupted;
  if (exit_code == kExitDataLost && run_kept && !result.data_lost)
    return "incomplete: groups are missing in the gaps";
  return "incomplete: the run ended early";
}

// A CSV write that failed only at the final flush still ends the run's
// report with that cause.
void FinishCsvOf(CsvOutput& csv, AcquisitionResult& result) {
  const int error = FinishCsv(csv);
  if (error == 0 || result.end == RunEnd::kCsvFailed || result.end == RunEnd::kOutputClosed) return;
  const std::string name = IsStdout(csv.path) ? "standard output" : csv.path;
  result.end = IsClosedOutput(error) ? RunEnd::kOutputClosed : RunEnd::kCsvFailed;
  result.why = "writing " + name + " failed: " + SystemErrorText(error);
  // Not moved into place (FILE appeared meanwhile): the rows are kept aside.
  if (!csv.partial.empty()) result.why += "; the rows are in " + csv.partial;
}

// Every file the run wrote, each kept whatever ended the run.
std::vector<std::string> FilesOf(const AcquireOptions& o, const AcquisitionPlan& plan,
                                 const AcquisitionResult& result) {
  std::vector<std::string> files;
  if (!o.csv_path.empty() && !IsStdout(o.csv_path)) {
    const std::string shortfall = CsvShortfall(plan, result);
    files.push_back(o.csv_path + (shortfall.empty() ? "" : " (" + shortfall + ")"));
  }
  if (!result.recording.empty()) {
    const auto recorded = DescribeFiles(FilesOfRecording(result.recording, result.sidecar));
    files.insert(files.end(), recorded.begin(), recorded.end());
  }
  return files;
}

int RunAcquire(const AcquireOptions& o) {
  SetQuitOnInterrupt(true);
  AcquisitionPlan plan = PlanFromOptions(o);
  if (o.csv_path.empty() && o.record_dir.empty())
    FailUsage("nowhere to put the data: give --csv FILE (or - for stdout) and/or --record DIR");
  // Outputs are checked before the module is touched.
  std::unique_ptr<CsvOutput> csv;
  if (!o.csv_path.empty()) {
    csv = OpenCsv(o.csv_path, o.codes, o.overwrite);
    RemoveOnQuit(csv->partial);
    WriteCsvHeader(*csv, plan.selection);
  }
  if (!plan.record_dir.empty()) PrepareRecordingDirectory(plan.record_dir);
  const Connection connection = Connect(o.connection);
  const MetricsHandle metrics = StartMetrics(o.metrics, connection.device.get(),
                                             connection.host + ":" + std::to_string(connection.port));
  plan.module = AddressOf(connection);
  ConfigureAcquisition(connection.device.get(), plan, connection.timeout_ms);
  AcquisitionResult result = RunAcquisition(connection.device.get(), plan, connection.timeout_ms,
                                            {csv.get(), nullptr}, false);
  if (csv) FinishCsvOf(*csv, result);
  const RunSummary summary{&plan, &result, FilesOf(o, plan, result)};
  PrintRunSummary(ReportStream(o.csv_path), summary);
  FinishMetrics(metrics.get(), result.end == RunEnd::kRecordingFailed);
  return ExitCodeOf(result);
}

}  // namespace

Command AddAcquireCommand(CLI::App& app) {
  auto options = std::make_shared<AcquireOptions>();
  AcquireOptions& o = *options;
  CLI::App* cmd = app.add_subcommand("acquire", "stream groups to CSV and/or a recording");
  AddConnectionOptions(*cmd, o.connection);
  auto* seconds =
      cmd->add_option("--seconds", o.seconds, "seconds of stream to take (default: until Ctrl-C)")
          ->check(PositiveNumber());
  cmd->add_option("--groups", o.groups, "number of groups to take")
      ->check(PositiveNumber())
      ->excludes(seconds);
  AddStreamLayoutOptions(*cmd, o.rate, o.channels, o.code_bytes);
  cmd->add_flag("--di", o.digital, "stream the 16 digital inputs");
  cmd->add_option("--counters", o.counters, "counters to stream, e.g. 1,3")->type_name("LIST");
  cmd->add_option("--encoders", o.encoders, "encoders to stream, e.g. 1,2")->type_name("LIST");
  cmd->add_option("--average", o.average, "average every F groups into one output (analog only)")
      ->check(NonNegativeNumber());
  cmd->add_option("--transfer-bytes", o.transfer_bytes,
                  "bytes per transfer (default: about 10 ms of stream in whole groups)")
      ->check(CLI::Range(1, 65535));
  AddRangeOptions(*cmd, o.ranges, "");
  cmd->add_option("--csv", o.csv_path, "write converted groups to FILE (- for standard output)")
      ->type_name("FILE");
  cmd->add_flag("--codes", o.codes, "add the raw code of each analog channel to the CSV");
  cmd->add_flag("--overwrite", o.overwrite, "replace the --csv FILE when it exists");
  cmd->add_option("--record", o.record_dir, "record the raw stream into directory DIR")
      ->type_name("DIR");
  AddReconnectOption(*cmd, o.reconnect_s, "the gap is marked in the CSV");
  AddMetricsOptions(*cmd, o.metrics);
  return {cmd, [options] { return RunAcquire(*options); }};
}

}  // namespace kr2270::tool
