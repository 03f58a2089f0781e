// kr2270 scope: acquires as `acquire` does and serves a live view of every
// selected channel to browsers.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <thread>

#include "acquisition.h"
#include "commands.h"
#include "connection.h"
#include "scope_hub.h"
#include "scope_json.h"
#include "scope_recording.h"
#include "scope_server.h"
#include "scope_traces.h"
#include "system.h"

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
  return plan;
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
                       const std::string& module, double window_s) {
  std::string list = "[";
  for (const TraceInfo& t : traces) {
    if (list.size() > 1) list += ',';
    list += "{\"name\":" + JsonString(t.name) + ",\"kind\":\"" + KindName(t.kind) + "\"}";
  }
  list += "]";
  return "{\"module\":" + JsonString(module) + ",\"rate_code\":" + std::to_string(plan.rate_code) +
         ",\"group_rate\":" + JsonNumber(plan.selection.group_rate) +
         ",\"window\":" + JsonNumber(window_s) + ",\"frame_ms\":" +
         std::to_string(kFramePeriod.count()) + ",\"traces\":" + list + "}";
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
  std::string module;
  int timeout_ms = 0;
  ScopeHub hub;
  ScopeRecording recording;
  std::int64_t outputs = 0;
  bool data_lost = false;
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
  std::size_t viewers = 0;
  {
    std::lock_guard<std::mutex> guard(run.hub.lock);
    viewers = run.hub.viewers.size();
  }
  KR2270Health health{};
  health.struct_size = sizeof health;
  KR2270_GetHealth(run.device, &health);
  return "{\"elapsed\":" + JsonNumber(elapsed_s, 6) + ",\"outputs\":" + std::to_string(run.outputs) +
         ",\"rate\":" + JsonNumber(run.rate.Update(elapsed_s, run.outputs), 7) +
         ",\"lost\":" + std::to_string(LostGroups(run.device)) +
         ",\"gaps\":" + std::to_string(std::max(0, KR2270_HcGetGaps(run.device, nullptr, 0))) +
         ",\"reconnects\":" + std::to_string(health.reconnects) +
         ",\"link\":\"" + LinkState(run, health) + "\"" +
         ",\"ring\":" + std::to_string(std::max(0, KR2270_HcCodeCanReadGroupCount(run.device))) +
         ",\"viewers\":" + std::to_string(viewers) +
         ",\"frames_dropped\":" + std::to_string(run.hub.frames_dropped.load()) +
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
    StopScopeRecording(run.device, run.plan, run.recording, PositionOf(run),
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

PageActions ActionsOf(ScopeRun& run) {
  return {[&run] { return StartRecordingFromPage(run); },
          [&run] { return StopRecordingFromPage(run); },
          [&run](const std::string& text) { return SetRangesFromPage(run, text); }};
}

// Takes what is buffered and folds it into every viewer's envelope.
std::int32_t TakeAndFeed(ScopeRun& run, GroupBatch& batch, TraceValues& values) {
  const std::int32_t taken = TakeBuffered(run.device, run.plan.selection, kMaxSplit, batch);
  if (taken == 0) return 0;
  ConvertBatch(run.device, run.plan.selection, batch);
  FillTraceValues(run.plan.selection, batch, values);
  FeedViewers(run.hub, values, taken);
  run.outputs += taken;
  return taken;
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
  TraceValues values;
  const auto start = Clock::now();
  auto next_frame = start;
  while (!Interrupted()) {
    const auto now = Clock::now();
    const double elapsed_s = std::chrono::duration<double>(now - start).count();
    if (seconds > 0 && elapsed_s >= seconds) break;
    RunPageJobs(run.hub);
    const std::int32_t taken = TakeAndFeed(run, batch, values);
    if (now >= next_frame) {
      PublishFrames(run.hub, StatusJson(run, elapsed_s));
      next_frame = std::max(next_frame + kFramePeriod, now);
    }
    if (taken == 0) WaitForGroups(run, next_frame);
  }
}

void PrintEnd(const ScopeRun& run, std::uint64_t lost) {
  std::printf("groups:         %lld\nlost groups:    %llu\ndata connection: %s\nframes dropped: %llu\n",
              static_cast<long long>(run.outputs), static_cast<unsigned long long>(lost),
              run.data_lost ? "lost" : "kept",
              static_cast<unsigned long long>(run.hub.frames_dropped.load()));
}

int RunScope(const ScopeOptions& o) {
  const ListenAddress address = ParseListenAddress(o.listen);
  const std::string token = !o.token.empty() ? o.token : NeedsToken(address) ? MakeToken() : "";
  ScopeRun run;
  run.plan = PlanFromOptions(o);
  run.recording.dir = o.record_dir;
  const std::vector<TraceInfo> traces = TracesOf(run.plan.selection);
  SetQuitOnInterrupt(true);
  const Connection connection = Connect(o.connection);
  run.plan.module = AddressOf(connection);
  run.device = connection.device.get();
  run.module = DescribeModule(connection);
  run.timeout_ms = connection.timeout_ms;
  ConfigureAcquisition(run.device, run.plan, run.timeout_ms);
  run.hub.output_rate = run.plan.selection.group_rate;
  run.hub.traces = traces.size();
  run.hub.config_json = ConfigJson(run.plan, traces, run.module, o.window_s);
  // A page asking before the first frame gets a whole status too.
  run.hub.status_json = StatusJson(run, 0.0);

  ScopeServerHandle server = StartScopeServer(run.hub, address, token, ActionsOf(run));
  std::printf("scope: http://%s:%d/%s\n", address.host.c_str(), BoundPort(*server),
              token.empty() ? "" : ("?token=" + token).c_str());
  std::fflush(stdout);

  Check(KR2270_HcStart(run.device, 1, run.timeout_ms), "starting acquisition");
  SetQuitOnInterrupt(false);
  try {
    Stream(run, o.seconds);
  } catch (...) {
    CloseHub(run.hub);
    KR2270_HcStart(run.device, 0, run.timeout_ms);
    throw;
  }
  CloseHub(run.hub);
  server.reset();
  const std::int32_t stopped = KR2270_HcStart(run.device, 0, run.timeout_ms);
  if (run.recording.on)
    StopScopeRecording(run.device, run.plan, run.recording, PositionOf(run),
                       "the scope ended");
  if (stopped < 0 && !run.data_lost) Check(stopped, "stopping acquisition");
  const std::uint64_t lost = LostGroups(run.device);
  PrintEnd(run, lost);
  return lost == 0 && !run.data_lost ? kExitOk : kExitDataLost;
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
  return {cmd, [options] { return RunScope(*options); }};
}

}  // namespace kr2270::tool
