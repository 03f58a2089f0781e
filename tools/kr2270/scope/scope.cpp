// kr2270 scope: acquires as `acquire` does and serves a live view of every
// selected channel to browsers.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <thread>

#include "run/acquisition.h"
#include "app/commands.h"
#include "app/connection.h"
#include "app/metrics.h"
#include "scope/scope_hub.h"
#include "scope/scope_json.h"
#include "scope/scope_recording.h"
#include "scope/scope_server.h"
#include "scope/scope_traces.h"
#include "system/system.h"

namespace kr2270::tool {
namespace {

using Clock = std::chrono::steady_clock;

// 25 frames a second: smooth enough, and above the 20 a live view needs.
constexpr auto kFramePeriod = std::chrono::milliseconds(40);
constexpr std::int32_t kMaxSplit = 1 << 15;
constexpr double kRateWindowS = 1.0;

struct ScopeOptions {
  ConnectionOptions connection;
  std::string rate = "56";
  std::string channels = "1-8";
  int code_bytes = 4;
  bool digital = true;
  std::string counters = "1-4";
  std::string encoders = "1-2";
  int transfer_bytes = 0;
  RangeOptions ranges;
  std::string listen = "127.0.0.1:0";
  std::string token;
  std::string record_dir = ".";
  double seconds = 0.0;
  double window_s = 2.0;
  double reconnect_s = 0.0;
  MetricsOptions metrics;
};

std::array<bool, kCounters> CountersOf(const std::string& list) {
  if (list == "none") return {};
  return SelectionOf<kCounters>(ParseNumberList(list, kCounters, "--counters"));
}

std::array<bool, kEncoders> EncodersOf(const std::string& list) {
  if (list == "none") return {};
  return SelectionOf<kEncoders>(ParseNumberList(list, kEncoders, "--encoders"));
}

AcquisitionPlan PlanFromOptions(const ScopeOptions& o) {
  const RateInfo rate = ParseRate(o.rate);
  AcquisitionPlan plan;
  StreamSelection& s = plan.selection;
  if (o.channels != "none")
    s.analog = SelectionOf<kAnalogChannels>(ParseNumberList(o.channels, kAnalogChannels, "--channels"));
  s.code_bytes = o.code_bytes;
  s.digital = o.digital;
  s.counters = CountersOf(o.counters);
  s.encoders = EncodersOf(o.encoders);
  s.group_rate = rate.group_rate;
  if (GroupBytes(s) == 0) FailUsage("nothing to show: every channel kind is off");
  plan.rate_code = rate.code;
  plan.ranges = ParseRanges(o.ranges);
  plan.transfer_bytes =
      o.transfer_bytes > 0 ? o.transfer_bytes : DefaultTransferBytes(GroupBytes(s), rate);
  plan.reconnect_ms = ReconnectMs(o.reconnect_s);
  return plan;
}

// The plan at another rate; a transfer size the user gave stays.
AcquisitionPlan PlanAtRate(const AcquisitionPlan& plan, const RateInfo& rate, int transfer_given) {
  AcquisitionPlan next = plan;
  next.rate_code = rate.code;
  next.selection.group_rate = rate.group_rate;
  next.transfer_bytes = transfer_given > 0 ? transfer_given
                                           : DefaultTransferBytes(GroupBytes(next.selection), rate);
  return next;
}

const char* KindName(TraceKind kind) {
  switch (kind) {
    case TraceKind::kAnalog: return "analog";
    case TraceKind::kDigital: return "digital";
    case TraceKind::kCounter: return "counter";
    case TraceKind::kEncoder: return "encoder";
  }
  return "";
}

std::string ConfigJson(const AcquisitionPlan& plan, const std::vector<TraceInfo>& traces,
                       const std::string& module, double window_s, int epoch) {
  std::string list = "[";
  for (const TraceInfo& t : traces) {
    if (list.size() > 1) list += ',';
    list += "{\"name\":" + JsonString(t.name) + ",\"kind\":\"" + KindName(t.kind) + "\"}";
  }
  list += "]";
  return "{\"module\":" + JsonString(module) + ",\"rate_code\":" + std::to_string(plan.rate_code) +
         ",\"group_rate\":" + JsonNumber(plan.selection.group_rate) +
         ",\"window\":" + JsonNumber(window_s) + ",\"frame_ms\":" +
         std::to_string(kFramePeriod.count()) + ",\"epoch\":" + std::to_string(epoch) +
         ",\"traces\":" + list + "}";
}

// The outputs taken over the last second, for the rate achieved.
struct RateMeter {
  std::deque<std::pair<double, std::int64_t>> samples;
  double Update(double now_s, std::int64_t outputs) {
    samples.emplace_back(now_s, outputs);
    while (samples.size() > 2 && now_s - samples.front().first > kRateWindowS) samples.pop_front();
    const double span = now_s - samples.front().first;
    return span > 0 ? static_cast<double>(outputs - samples.front().second) / span : 0.0;
  }
};

struct ScopeRun {
  KR2270Device* device = nullptr;
  AcquisitionPlan plan;
  int transfer_given = 0;  // --transfer-bytes, 0 when not given
  std::vector<TraceInfo> traces;
  double window_s = 0.0;
  std::string module;
  int timeout_ms = 0;
  ScopeHub hub;
  int epoch = 0;  // starts of the acquisition at a new rate so far
  ScopeRecording recording;
  Clock::time_point start;
  // Since the acquisition last started, as the library counts them.
  std::int64_t outputs = 0;
  // The timeline index the next output has when nothing is missing before it.
  std::uint64_t next_index = 0;
  GapReader gaps;  // the library's records of gaps not yet passed
  std::uint64_t missing_in_passed_link_gaps = 0;
  // Of the starts before, for the end of the run.
  struct Earlier {
    std::int64_t outputs = 0;
    std::uint64_t lost = 0;
    std::uint64_t missing_in_gaps = 0;
    bool data_lost = false;
  } earlier;
  bool data_lost = false;
  bool started = false;  // false after a restart that failed
  RateMeter rate;
};

std::uint64_t LostGroups(KR2270Device* device) {
  std::uint64_t lost = 0;
  KR2270_HcGetLostGroups(device, &lost);
  return lost;
}

// "up", "down" while the library reconnects, "lost" once it gave up.
const char* LinkState(const ScopeRun& run, const KR2270Health& health) {
  if (run.data_lost) return "lost";
  return health.data_connected == 1 ? "up" : "down";
}

std::string StatusJson(ScopeRun& run, double elapsed_s) {
  KR2270Health health{};
  health.struct_size = sizeof health;
  KR2270_GetHealth(run.device, &health);
  return "{\"elapsed\":" + JsonNumber(elapsed_s, 6) + ",\"epoch\":" + std::to_string(run.epoch) +
         ",\"outputs\":" + std::to_string(run.outputs) +
         ",\"rate\":" + JsonNumber(run.rate.Update(elapsed_s, run.outputs), 7) +
         ",\"lost\":" + std::to_string(LostGroups(run.device)) +
         ",\"gaps\":" + std::to_string(std::max(0, KR2270_HcGetGaps(run.device, nullptr, 0))) +
         ",\"reconnects\":" + std::to_string(health.reconnects) +
         ",\"link\":\"" + LinkState(run, health) + "\"" +
         ",\"ring\":" + std::to_string(std::max(0, KR2270_HcCodeCanReadGroupCount(run.device))) +
         ",\"viewers\":" + std::to_string(run.hub.viewer_count.load()) +
         ",\"frames_dropped\":" + std::to_string(run.hub.frames_dropped.load()) +
         ",\"view_skipped\":" + std::to_string(run.hub.outputs_skipped.load()) +
         ",\"recording\":" + RecordingStatusJson(run.device, run.recording) + "}";
}

RunPosition PositionOf(ScopeRun& run) { return {run.outputs, LostGroups(run.device)}; }

PageReply Failed(int http_status, const std::string& message) {
  return {http_status, "{\"ok\":false,\"error\":" + JsonString(message) + "}"};
}

PageReply StartRecordingFromPage(ScopeRun& run) {
  if (run.recording.on) return Failed(409, "a recording is already running");
  try {
    StartScopeRecording(run.device, run.plan, run.recording, PositionOf(run));
  } catch (const ToolError& error) {
    run.recording.last_error = error.message;
    return Failed(500, error.message);
  }
  run.recording.last_error.clear();
  return {200, "{\"ok\":true,\"recording\":" + RecordingStatusJson(run.device, run.recording) + "}"};
}

PageReply StopRecordingFromPage(ScopeRun& run) {
  if (!run.recording.on) return Failed(409, "no recording is running");
  try {
    StopScopeRecording(run.device, run.recording, PositionOf(run),
                       "stopped from the page");
  } catch (const ToolError& error) {
    run.recording.last_error = error.message;
    return Failed(500, error.message);
  }
  run.recording.last_error.clear();
  return {200, "{\"ok\":true,\"recording\":" + RecordingStatusJson(run.device, run.recording) + "}"};
}

// The same parser as --range; a recording keeps the ranges it began with.
PageReply SetRangesFromPage(ScopeRun& run, const std::string& text) {
  std::vector<RangeSetting> ranges;
  try {
    RangeOptions options;
    options.plain.push_back(text);
    ranges = ParseRanges(options);
  } catch (const ToolError& error) {
    return Failed(400, error.message);
  }
  if (run.recording.on) return Failed(409, "stop the recording before changing a range");
  try {
    ApplyRanges(run.device, ranges, run.timeout_ms);
  } catch (const ToolError& error) {
    return Failed(502, error.message);
  }
  run.plan.ranges.insert(run.plan.ranges.end(), ranges.begin(), ranges.end());
  return {200, "{\"ok\":true}"};
}

bool IsLinkGap(const KR2270GapRecord& gap) { return gap.cause != KR2270_GAP_RING_FULL; }

// The library's cause of the groups missing from index `from` on.
std::int32_t CauseAt(const GapReader& reader, std::uint64_t from) {
  for (const KR2270GapRecord& gap : reader.gaps)
    if (gap.index + gap.missing > from) return gap.cause;
  return 0;
}

// Forgets the records of gaps wholly before `index` (they no longer grow),
// keeping the newest, from which the next read goes on.
void PassGapsBefore(ScopeRun& run, std::uint64_t index) {
  std::vector<KR2270GapRecord>& gaps = run.gaps.gaps;
  std::size_t done = 0;
  while (done + 1 < gaps.size() && gaps[done].index + gaps[done].missing <= index) {
    if (IsLinkGap(gaps[done])) run.missing_in_passed_link_gaps += gaps[done].missing;
    ++done;
  }
  gaps.erase(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(done));
}

// Groups missing in gaps other than ring overflows (those the lost-group
// count has) so far.
std::uint64_t MissingInLinkGaps(const ScopeRun& run) {
  std::uint64_t missing = run.missing_in_passed_link_gaps;
  for (const KR2270GapRecord& gap : run.gaps.gaps)
    if (IsLinkGap(gap)) missing += gap.missing;
  return missing;
}

// The gaps in front of the batch's outputs, where the library's index jumps.
std::vector<BatchGap> GapsOfBatch(ScopeRun& run, const GroupBatch& batch) {
  // After the split: every gap before these groups is known by now.
  ReadNewGaps(run.device, run.gaps);
  const auto step = static_cast<std::uint64_t>(IndexStep(run.plan.selection));
  std::vector<BatchGap> gaps;
  for (std::size_t i = 0; i < static_cast<std::size_t>(batch.count); ++i) {
    const std::uint64_t index = batch.index[i];
    if (index > run.next_index) {
      gaps.push_back({static_cast<std::int64_t>(i),
                      static_cast<std::int64_t>((index - run.next_index) / step),
                      CauseAt(run.gaps, run.next_index)});
    }
    run.next_index = index + step;
  }
  PassGapsBefore(run, run.next_index);
  return gaps;
}

// Takes what is buffered and hands it to the view, whatever the viewers do.
std::int32_t TakeAndHandOff(ScopeRun& run, GroupBatch& batch) {
  const std::int32_t taken = TakeBuffered(run.device, run.plan.selection, kMaxSplit, batch);
  if (taken == 0) return 0;
  std::vector<BatchGap> gaps = GapsOfBatch(run, batch);
  ConvertBatch(run.device, run.plan.selection, batch);
  HandOff(run.hub, batch, std::move(gaps));
  run.outputs += taken;
  return taken;
}

double ElapsedS(const ScopeRun& run) {
  return std::chrono::duration<double>(Clock::now() - run.start).count();
}

// Stops, takes what the module sent before the stop, and keeps the counts of
// this start: the library's begin again with the next. The host side stops
// even when the module does not answer, so the counts move on either way.
void StopForRestart(ScopeRun& run) {
  const std::int32_t stopped = KR2270_HcStart(run.device, 0, run.timeout_ms);
  GroupBatch batch;
  while (TakeAndHandOff(run, batch) > 0) {
  }
  RequestPublish(run.hub, StatusJson(run, ElapsedS(run)));
  run.earlier.outputs += run.outputs;
  run.earlier.lost += LostGroups(run.device);
  try {
    ReadNewGaps(run.device, run.gaps);  // the gaps found after the last split count as well
  } catch (const ToolError&) {
  }
  run.earlier.missing_in_gaps += MissingInLinkGaps(run);
  run.earlier.data_lost = run.earlier.data_lost || run.data_lost;
  run.outputs = 0;
  run.next_index = 0;
  run.gaps = {};
  run.missing_in_passed_link_gaps = 0;
  run.rate = {};
  run.data_lost = false;
  run.started = false;
  if (stopped < 0 && !run.earlier.data_lost) Check(stopped, "stopping acquisition");
}

// Starts with `plan`'s rate and transfer size: a new epoch for every viewer,
// whether or not the start works.
void StartAt(ScopeRun& run, const AcquisitionPlan& plan) {
  ++run.epoch;
  StartEpoch(run.hub, plan.selection.group_rate, ElapsedS(run),
             ConfigJson(plan, run.traces, run.module, run.window_s, run.epoch));
  Check(KR2270_HcSetFreq(run.device, plan.rate_code, run.timeout_ms), "setting the rate");
  Check(KR2270_HcSetTranBytesCount(run.device, plan.transfer_bytes, run.timeout_ms),
        "setting the transfer size");
  Check(KR2270_HcStart(run.device, 1, run.timeout_ms), "starting acquisition");
  run.started = true;
}

bool DataLost(const ScopeRun& run) { return run.data_lost || run.earlier.data_lost; }

// The same parser as --rate. A module error on the way answers 502, with
// the acquisition started again at the old rate where the module lets it.
PageReply SetRateFromPage(ScopeRun& run, const std::string& text) {
  RateInfo rate{};
  try {
    rate = ParseRate(text);
  } catch (const ToolError& error) {
    return Failed(400, error.message);
  }
  if (run.recording.on) return Failed(409, "stop the recording before changing the rate");
  const AcquisitionPlan next = PlanAtRate(run.plan, rate, run.transfer_given);
  try {
    StopForRestart(run);
    StartAt(run, next);
  } catch (const ToolError& error) {
    try {
      StartAt(run, run.plan);
    } catch (const ToolError&) {
      // The status shows the link as it is; the page can try again.
    }
    return Failed(502, error.message);
  }
  run.plan = next;
  return {200, "{\"ok\":true}"};
}

PageActions ActionsOf(ScopeRun& run) {
  return {[&run] { return StartRecordingFromPage(run); },
          [&run] { return StopRecordingFromPage(run); },
          [&run](const std::string& text) { return SetRangesFromPage(run, text); },
          [&run](const std::string& text) { return SetRateFromPage(run, text); }};
}

// Waits for groups until the next frame is due. Once the data connection is
// gone there is nothing to wait for but the frame clock, which keeps the
// page's status fresh.
void WaitForGroups(ScopeRun& run, Clock::time_point next_frame) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(next_frame - Clock::now());
  if (left.count() <= 0) return;
  if (run.data_lost) {
    std::this_thread::sleep_until(next_frame);
    return;
  }
  const std::int32_t waited =
      KR2270_HcWaitGroups(run.device, 1, static_cast<std::int32_t>(left.count()));
  if (waited != -3) return;
  run.data_lost = KR2270_HcIsDataLost(run.device) == 1;
  // Not running for another reason: the wait would return at once again.
  if (!run.data_lost) std::this_thread::sleep_until(next_frame);
}

void Stream(ScopeRun& run, double seconds) {
  GroupBatch batch;
  run.start = Clock::now();
  auto next_frame = run.start;
  while (!Interrupted()) {
    const auto now = Clock::now();
    const double elapsed_s = std::chrono::duration<double>(now - run.start).count();
    if (seconds > 0 && elapsed_s >= seconds) break;
    RunPageJobs(run.hub);
    const std::int32_t taken = TakeAndHandOff(run, batch);
    if (now >= next_frame) {
      RequestPublish(run.hub, StatusJson(run, elapsed_s));
      next_frame = std::max(next_frame + kFramePeriod, now);
    }
    if (taken == 0) WaitForGroups(run, next_frame);
  }
}

struct RunTotals {
  std::int64_t outputs = 0;
  std::uint64_t lost = 0;
  std::uint64_t missing_in_gaps = 0;  // reconnects and restarts of the module
};

RunTotals TotalsOf(ScopeRun& run) {
  // The gaps found after the last split count as well.
  try {
    ReadNewGaps(run.device, run.gaps);
  } catch (const ToolError&) {
  }
  return {run.earlier.outputs + run.outputs, run.earlier.lost + LostGroups(run.device),
          run.earlier.missing_in_gaps + MissingInLinkGaps(run)};
}

void PrintEnd(const ScopeRun& run, const RunTotals& totals) {
  std::printf("groups:         %lld\nlost groups:    %llu\nmissing in gaps: %llu\n"
              "data connection: %s\nframes dropped: %llu\n",
              static_cast<long long>(totals.outputs), static_cast<unsigned long long>(totals.lost),
              static_cast<unsigned long long>(totals.missing_in_gaps),
              DataLost(run) ? "lost" : "kept",
              static_cast<unsigned long long>(run.hub.frames_dropped.load()));
}

// Whichever way the run ends, the view thread stops before the hub goes.
struct HubCloser {
  ScopeHub& hub;
  ~HubCloser() { CloseHub(hub); }
};

int RunScope(const ScopeOptions& o) {
  const ListenAddress address = ParseListenAddress(o.listen);
  const std::string token = !o.token.empty() ? o.token : NeedsToken(address) ? MakeToken() : "";
  ScopeRun run;
  run.plan = PlanFromOptions(o);
  run.transfer_given = o.transfer_bytes;
  run.window_s = o.window_s;
  run.recording.dir = o.record_dir;
  run.traces = TracesOf(run.plan.selection);
  SetQuitOnInterrupt(true);
  const Connection connection = Connect(o.connection);
  run.plan.module = AddressOf(connection);
  run.device = connection.device.get();
  const MetricsHandle metrics = StartMetrics(o.metrics, run.device,
                                             connection.host + ":" + std::to_string(connection.port));
  run.module = DescribeModule(connection);
  run.timeout_ms = connection.timeout_ms;
  ConfigureAcquisition(run.device, run.plan, run.timeout_ms);
  ApplyReconnect(run.device, run.plan);
  run.hub.selection = run.plan.selection;
  run.hub.traces = run.traces.size();
  // A page asking before the first frame gets a whole status too.
  run.hub.status_json = StatusJson(run, 0.0);
  StartViewThread(run.hub, run.plan.selection.group_rate,
                  ConfigJson(run.plan, run.traces, run.module, o.window_s, 0));
  const HubCloser closer{run.hub};

  ScopeServerHandle server = StartScopeServer(run.hub, address, token, ActionsOf(run));
  std::printf("scope: http://%s:%d/%s\n", address.host.c_str(), BoundPort(*server),
              token.empty() ? "" : ("?token=" + token).c_str());
  std::fflush(stdout);

  Check(KR2270_HcStart(run.device, 1, run.timeout_ms), "starting acquisition");
  run.started = true;
  SetQuitOnInterrupt(false);
  try {
    Stream(run, o.seconds);
  } catch (...) {
    KR2270_HcStart(run.device, 0, run.timeout_ms);
    throw;
  }
  CloseHub(run.hub);
  server.reset();
  const std::int32_t stopped = KR2270_HcStart(run.device, 0, run.timeout_ms);
  if (run.recording.on)
    StopScopeRecording(run.device, run.recording, PositionOf(run),
                       "the scope ended");
  if (stopped < 0 && run.started && !run.data_lost) Check(stopped, "stopping acquisition");
  const RunTotals totals = TotalsOf(run);
  PrintEnd(run, totals);
  FinishMetrics(metrics.get(), false);
  const bool complete = totals.lost == 0 && totals.missing_in_gaps == 0 && !DataLost(run);
  return complete ? kExitOk : kExitDataLost;
}

}  // namespace

Command AddScopeCommand(CLI::App& app) {
  auto options = std::make_shared<ScopeOptions>();
  ScopeOptions& o = *options;
  CLI::App* cmd = app.add_subcommand("scope", "acquire and show the signals live in a browser");
  AddConnectionOptions(*cmd, o.connection);
  AddStreamLayoutOptions(*cmd, o.rate, o.channels, o.code_bytes);
  cmd->add_flag("--di,!--no-di", o.digital, "show the 16 digital inputs (default: on)");
  cmd->add_option("--counters", o.counters, "counters to show, e.g. 1,3, or none")
      ->type_name("LIST")
      ->capture_default_str();
  cmd->add_option("--encoders", o.encoders, "encoders to show, e.g. 1,2, or none")
      ->type_name("LIST")
      ->capture_default_str();
  cmd->add_option("--transfer-bytes", o.transfer_bytes,
                  "bytes per transfer (default: about 10 ms of stream in whole groups)")
      ->check(CLI::Range(1, 65535));
  AddRangeOptions(*cmd, o.ranges, "");
  cmd->add_option("--listen", o.listen,
                  "serve on ADDRESS:PORT (port 0: any free port); any address but 127.0.0.1 "
                  "needs the token printed with the URL")
      ->type_name("ADDRESS:PORT")
      ->capture_default_str();
  cmd->add_option("--token", o.token, "the token to ask for (default: a random one when needed)")
      ->type_name("TEXT");
  cmd->add_option("--record", o.record_dir, "where recordings started from the page go")
      ->type_name("DIR")
      ->capture_default_str();
  cmd->add_option("--window", o.window_s, "time window the page starts with, in seconds")
      ->check(CLI::Range(0.05, 60.0))
      ->capture_default_str();
  cmd->add_option("--seconds", o.seconds, "stop after S seconds (default: at Ctrl-C)")
      ->check(PositiveNumber());
  AddReconnectOption(*cmd, o.reconnect_s, "the page shows the gap and the link as down meanwhile");
  AddMetricsOptions(*cmd, o.metrics);
  return {cmd, [options] { return RunScope(*options); }};
}

}  // namespace kr2270::tool
