// kr2270 capture: the library's host-side trigger from the command line.
// Each capture goes to a CSV of its own, with a summary of all of them
// (trigger index and time, length, gaps) beside.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

#include "app/commands.h"
#include "app/connection.h"
#include "app/tool.h"
#include "output/csv.h"
#include "output/recording_files.h"
#include "run/acquisition.h"
#include "system/system.h"

namespace kr2270::tool {
namespace {

using Clock = std::chrono::steady_clock;

struct CaptureOptions {
  ConnectionOptions connection;
  std::string rate = "56";
  std::string channels = "1-8";
  int code_bytes = 4;
  bool digital = false;
  RangeOptions ranges;
  std::string on = "ai1";
  double level = 0.0;
  double hysteresis = 0.0;
  std::string slope = "rising";
  std::string pre = "0";
  std::string post = "1000";
  std::string holdoff = "0";
  int count = 1;
  double wait_s = 10.0;
  std::string out_dir;
  bool codes = false;
  bool overwrite = false;
  double reconnect_s = 0.0;
};

// Largest split per pass: bounds the memory one split takes.
constexpr std::int32_t kMaxSplit = 1 << 15;
// Longest wait for groups in one go: bounds how late an interrupt or the
// end of the wait is seen.
constexpr std::int32_t kWaitSliceMs = 100;
// How long the module may send nothing before the run is given up.
constexpr int kMinStallMs = 3000;
constexpr int kMostCaptures = 100000;

// "500" groups, "0.05s" or "50ms" (rounded to whole groups).
std::int64_t GroupsOf(const std::string& text, double group_rate, const std::string& option) {
  const auto fail = [&] {
    FailUsage(option + " '" + text + "' is not a length: give groups (500) or seconds (0.05s, 50ms)");
  };
  if (text.empty()) fail();
  double scale = 0.0;  // 0: groups
  std::string number = text;
  if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
    scale = 1e-3;
    number.resize(number.size() - 2);
  } else if (number.size() > 1 && number.back() == 's') {
    scale = 1.0;
    number.pop_back();
  }
  std::size_t used = 0;
  double value = 0.0;
  try {
    value = std::stod(number, &used);
  } catch (const std::exception&) {
    fail();
  }
  if (used != number.size() || !std::isfinite(value) || value < 0.0) fail();
  const double groups = scale > 0.0 ? value * scale * group_rate : value;
  if (scale == 0.0 && groups != std::floor(groups)) fail();
  if (groups > KR2270_TRIGGER_MAX_GROUPS)
    FailUsage(option + " " + text + " is more than the " + std::to_string(KR2270_TRIGGER_MAX_GROUPS) +
              " groups a capture may hold");
  return std::llround(groups);
}

// --on ai3 / di12: the source and its channel; the stream gets a digital
// input it needs.
void SetSource(const CaptureOptions& o, StreamSelection& selection, KR2270TriggerSetup& setup) {
  const bool analog = o.on.rfind("ai", 0) == 0;
  const bool digital = o.on.rfind("di", 0) == 0;
  const int highest = analog ? kAnalogChannels : 16;
  int channel = 0;
  if (analog || digital) {
    const std::string number = o.on.substr(2);
    const bool digits = !number.empty() && number.size() <= 2 &&
                        number.find_first_not_of("0123456789") == std::string::npos;
    channel = digits ? std::stoi(number) : 0;
  }
  if (channel < 1 || channel > highest)
    FailUsage("--on '" + o.on + "' is not a trigger source: give ai1..ai8 or di1..di16");
  setup.source = analog ? KR2270_TRIGGER_ANALOG : KR2270_TRIGGER_DIGITAL;
  setup.channel = channel;
  if (digital) selection.digital = true;
  if (analog && !selection.analog[static_cast<std::size_t>(channel - 1)])
    FailUsage("--on " + o.on + " is not among --channels " + o.channels);
}

struct CapturePlan {
  AcquisitionPlan acquisition;
  KR2270TriggerSetup trigger{};
  int count = 1;
};

CapturePlan PlanFromOptions(const CaptureOptions& o) {
  const RateInfo rate = ParseRate(o.rate);
  CapturePlan plan;
  StreamSelection& s = plan.acquisition.selection;
  if (o.channels != "none")
    s.analog = SelectionOf<kAnalogChannels>(ParseNumberList(o.channels, kAnalogChannels, "--channels"));
  s.code_bytes = o.code_bytes;
  s.digital = o.digital;
  s.group_rate = rate.group_rate;
  KR2270TriggerSetup& t = plan.trigger;
  t.struct_size = sizeof t;
  SetSource(o, s, t);
  t.slope = o.slope == "rising" ? KR2270_TRIGGER_RISING : KR2270_TRIGGER_FALLING;
  t.level = o.level;
  t.hysteresis = o.hysteresis;
  t.pre = GroupsOf(o.pre, rate.group_rate, "--pre");
  t.post = GroupsOf(o.post, rate.group_rate, "--post");
  if (t.post < 1) FailUsage("--post " + o.post + " is less than one group");
  if (t.pre + t.post > KR2270_TRIGGER_MAX_GROUPS)
    FailUsage("--pre and --post are " + std::to_string(t.pre + t.post) + " groups, more than the " +
              std::to_string(KR2270_TRIGGER_MAX_GROUPS) + " a capture may hold");
  t.repeat = o.count > 1 ? 1 : 0;
  t.max_ready = 64;
  t.holdoff = GroupsOf(o.holdoff, rate.group_rate, "--holdoff");
  plan.count = o.count;
  AcquisitionPlan& a = plan.acquisition;
  a.rate_code = rate.code;
  a.ranges = ParseRanges(o.ranges);
  a.transfer_bytes = DefaultTransferBytes(GroupBytes(s), rate);
  a.reconnect_ms = ReconnectMs(o.reconnect_s);
  return plan;
}

std::string CaptureFileName(int number) {
  char name[32];
  std::snprintf(name, sizeof name, "capture_%04d.csv", number);
  return name;
}

std::string InDirectory(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Every file the run may write is checked before the module is touched.
void CheckFilesFree(const CaptureOptions& o) {
  if (o.overwrite) return;
  for (int number = 1; number <= o.count; ++number) {
    const std::string path = InDirectory(o.out_dir, CaptureFileName(number));
    if (EntryExists(path)) FailUsage(path + " exists: give --overwrite to replace it, or another --out DIR");
  }
}

constexpr const char* kSummaryHeader =
    "capture,trigger_index,trigger_s,trigger_unix_ns,groups,trigger_row,pre_short,gaps,"
    "missing_groups,file\n";

std::string Seconds(double seconds, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, seconds);
  return text;
}

std::string SummaryRow(int number, const KR2270CaptureInfo& info, double group_rate,
                       const std::string& file) {
  using std::to_string;
  return to_string(number) + "," + to_string(info.trigger_index) + "," +
         Seconds(static_cast<double>(info.trigger_index) / group_rate, 9) + "," +
         to_string(info.trigger_unix_ns) + "," + to_string(info.groups) + "," +
         to_string(info.trigger_row) + "," + to_string(info.pre_short) + "," + to_string(info.gaps) +
         "," + to_string(info.missing_groups) + "," + file + "\n";
}

struct CaptureResult {
  int taken = 0;
  std::uint64_t captures_with_gaps = 0;
  bool failed = false;
  std::string why;
};

// Stops the stream and the search on every way out of a run.
struct ArmedStream {
  KR2270Device* device;
  int timeout_ms;
  ~ArmedStream() {
    KR2270_HcStart(device, 0, timeout_ms);
    KR2270_HcTriggerDisarm(device);
  }
};

// Writes the capture the queues now hold to its own file, and its summary row.
void WriteCapture(KR2270Device* device, const CaptureOptions& o, const CapturePlan& plan,
                  std::int32_t rows, const KR2270CaptureInfo& info, CsvOutput& summary,
                  CaptureResult& result) {
  const StreamSelection& selection = plan.acquisition.selection;
  GroupBatch batch;
  FetchQueued(device, selection, rows, batch);
  ConvertBatch(device, selection, batch);
  const int number = result.taken + 1;
  const std::string name = CaptureFileName(number);
  const std::string path = InDirectory(o.out_dir, name);
  {
    const auto csv = OpenCsv(path, o.codes, o.overwrite);
    csv->keep = true;
    WriteCsvHeader(*csv, selection);
    WriteCsvCaptureRows(*csv, selection, batch, info.trigger_index);
    if (const int error = FinishCsv(*csv); error != 0)
      Fail("writing " + path + " failed: " + SystemErrorText(error));
  }
  summary.keep = true;
  WriteCsvText(summary, SummaryRow(number, info, selection.group_rate, name));
  result.taken = number;
  if (info.gaps > 0) ++result.captures_with_gaps;
  using std::to_string;
  const std::string line = "capture " + to_string(number) + ": trigger at group " +
                           to_string(info.trigger_index) + " (" +
                           Seconds(static_cast<double>(info.trigger_index) / selection.group_rate, 6) +
                           " s), " + to_string(info.groups) + " groups, " + to_string(info.gaps) +
                           " gaps (" + to_string(info.missing_groups) + " groups missing) -> " + path;
  std::puts(line.c_str());
  std::fflush(stdout);
}

// Splits what is buffered (the search runs in the split) and writes every
// capture completed meanwhile. Returns the groups split.
std::int64_t SplitAndTake(KR2270Device* device, const CaptureOptions& o, const CapturePlan& plan,
                          CsvOutput& summary, CaptureResult& result) {
  std::int64_t split = 0;
  for (;;) {
    const std::int32_t buffered = Check(KR2270_HcCodeCanReadGroupCount(device), "counting groups");
    if (buffered > 0)
      split += Check(KR2270_HcCodeSplit(device, std::min(buffered, kMaxSplit)), "splitting groups");
    for (;;) {
      if (result.taken >= plan.count) return split;
      KR2270CaptureInfo info{};
      info.struct_size = sizeof info;
      const std::int32_t rows = Check(KR2270_HcTriggerTake(device, &info), "taking a capture");
      if (rows == 0) break;
      WriteCapture(device, o, plan, rows, info, summary, result);
    }
    if (buffered <= kMaxSplit) return split;
  }
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void TakeCaptures(KR2270Device* device, const CaptureOptions& o, const CapturePlan& plan,
                  int timeout_ms, CsvOutput& summary, CaptureResult& result) {
  const auto start = Clock::now();
  const double stall_s = std::max({kMinStallMs, timeout_ms, plan.acquisition.reconnect_ms}) / 1000.0;
  double last_data_s = 0.0;
  const auto end = [&](bool failed, const std::string& why) {
    result.failed = failed;
    result.why = why;
  };
  while (result.taken < plan.count) {
    const double now_s = SecondsSince(start);
    if (Interrupted()) return end(false, "interrupted");
    if (o.wait_s > 0.0 && now_s > o.wait_s) {
      char text[64];
      std::snprintf(text, sizeof text, "no more triggers within %g s", o.wait_s);
      return end(true, text);
    }
    if (SplitAndTake(device, o, plan, summary, result) > 0) {
      last_data_s = now_s;
      continue;
    }
    if (KR2270_HcIsDataLost(device) == 1) return end(true, "the module closed the data connection");
    if (now_s - last_data_s > stall_s) return end(true, "no data from the module");
    // Time-out, or a reconnect in progress: the next pass sees what changed.
    if (KR2270_HcWaitGroups(device, 1, kWaitSliceMs) < 0 && KR2270_HcIsDataLost(device) != 1)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  result.why = "the requested captures were taken";
}

int RunCapture(const CaptureOptions& o) {
  SetQuitOnInterrupt(true);
  const CapturePlan plan = PlanFromOptions(o);
  PrepareOutputDirectory(o.out_dir, "--out");
  CheckFilesFree(o);
  const std::string summary_path = InDirectory(o.out_dir, "captures.csv");
  const auto summary = OpenCsv(summary_path, false, o.overwrite);
  RemoveOnQuit(summary->partial);
  WriteCsvText(*summary, kSummaryHeader);

  const Connection connection = Connect(o.connection);
  KR2270Device* device = connection.device.get();
  ConfigureAcquisition(device, plan.acquisition, connection.timeout_ms);
  ApplyReconnect(device, plan.acquisition);
  Check(KR2270_HcTriggerArm(device, &plan.trigger), "arming the trigger");
  CaptureResult result;
  {
    ArmedStream stream{device, connection.timeout_ms};
    Check(KR2270_HcStart(device, 1, connection.timeout_ms), "starting acquisition");
    summary->keep = true;
    SetQuitOnInterrupt(false);
    try {
      TakeCaptures(device, o, plan, connection.timeout_ms, *summary, result);
    } catch (const ToolError& error) {
      result.failed = true;
      result.why = error.message;
    }
  }
  if (const int error = FinishCsv(*summary); error != 0 && !result.failed) {
    result.failed = true;
    result.why = "writing " + summary_path + " failed: " + SystemErrorText(error);
  }
  const std::string report = "captures:  " + std::to_string(result.taken) + " of " +
                             std::to_string(plan.count) + "\nwith gaps: " +
                             std::to_string(result.captures_with_gaps) + "\nsummary:   " +
                             summary_path + "\nend:       " + result.why;
  std::puts(report.c_str());
  if (result.failed) return kExitFailure;
  return result.captures_with_gaps > 0 ? kExitDataLost : kExitOk;
}

}  // namespace

Command AddCaptureCommand(CLI::App& app) {
  auto options = std::make_shared<CaptureOptions>();
  CaptureOptions& o = *options;
  CLI::App* cmd =
      app.add_subcommand("capture", "write the groups around trigger events, one CSV per capture");
  AddConnectionOptions(*cmd, o.connection);
  AddStreamLayoutOptions(*cmd, o.rate, o.channels, o.code_bytes);
  cmd->add_flag("--di", o.digital, "stream the 16 digital inputs (implied by --on diN)");
  AddRangeOptions(*cmd, o.ranges, "");
  cmd->add_option("--on", o.on, "trigger source: analog channel ai1..ai8 or digital input di1..di16")
      ->type_name("SOURCE")
      ->capture_default_str();
  cmd->add_option("--level", o.level, "trigger level in volts (analog)")
      ->check(FiniteNumber(-1e9, true, 1e9, "a level in volts", "--level"))
      ->capture_default_str();
  cmd->add_option("--slope", o.slope, "rising or falling")
      ->check(CLI::IsMember({"rising", "falling"}))
      ->capture_default_str();
  cmd->add_option("--hysteresis", o.hysteresis,
                  "volts the signal must be on the other side of the level before a crossing counts")
      ->check(FiniteNumber(0.0, true, 1e9, "a voltage of 0 or more", "--hysteresis"))
      ->capture_default_str();
  cmd->add_option("--pre", o.pre, "length before the trigger group: groups (500) or seconds (0.05s, 50ms)")
      ->type_name("LENGTH")
      ->capture_default_str();
  cmd->add_option("--post", o.post, "length from the trigger group on: groups or seconds")
      ->type_name("LENGTH")
      ->capture_default_str();
  cmd->add_option("--count", o.count, "captures to take (more than 1 re-arms after each)")
      ->check(CLI::Range(1, kMostCaptures))
      ->capture_default_str();
  cmd->add_option("--holdoff", o.holdoff,
                  "groups or seconds skipped after a capture's last group before the next search")
      ->type_name("LENGTH")
      ->capture_default_str();
  cmd->add_option("--wait", o.wait_s, "give up after SECONDS without all captures (0 = until Ctrl-C)")
      ->check(NonNegativeNumber())
      ->capture_default_str();
  cmd->add_option("--out", o.out_dir,
                  "directory for capture_0001.csv, ... and the summary captures.csv")
      ->type_name("DIR")
      ->required();
  cmd->add_flag("--codes", o.codes, "add the raw code of each analog channel to the CSV");
  cmd->add_flag("--overwrite", o.overwrite, "replace files of an earlier run in --out DIR");
  AddReconnectOption(*cmd, o.reconnect_s, "a capture across the gap flags it in its gap column");
  return {cmd, [options] { return RunCapture(*options); }};
}

}  // namespace kr2270::tool
