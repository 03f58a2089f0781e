#include "run/acquisition.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "output/metadata.h"
#include "output/recording_files.h"
#include "app/status_line.h"
#include "system/system.h"
#include "app/tool.h"

namespace kr2270::tool {
namespace {

using Clock = std::chrono::steady_clock;

// Largest split per pass: bounds the memory of one batch.
constexpr std::int32_t kMaxSplit = 1 << 15;
// The transfer-size register is 16 bits wide.
constexpr int kMaxTransferBytes = 65535;
constexpr double kTransferSeconds = 0.010;
// How long the module may send nothing before the run is given up.
constexpr int kMinStallMs = 3000;
// Longest wait for groups in one go: bounds how late an interrupt, a
// stall or a failed output is seen.
constexpr std::int32_t kWaitSliceMs = 100;
// Longest wait for the reply to the stop after an interrupt.
constexpr int kInterruptedStopMs = 300;
// Pause after a wait that returned at once (stopped or lost), so that the
// next pass, which says which, is no busy loop.
constexpr auto kIdlePoll = std::chrono::milliseconds(2);

// Stops acquisition and recording on every way out of a run. Their statuses
// are not checked: the module may be gone, and the cause is reported from
// what ended the run.
struct RunningAcquisition {
  KR2270Device* device;
  int timeout_ms;
  bool streaming = false;
  bool recording = false;
  void StopStreaming() {
    // After Ctrl-C the user waits: a module that does not answer the stop
    // is not waited for as long as the run's time-out allows.
    const int wait_ms = Interrupted() ? std::min(timeout_ms, kInterruptedStopMs) : timeout_ms;
    if (streaming) KR2270_HcStart(device, 0, wait_ms);
    streaming = false;
  }
  ~RunningAcquisition() {
    StopStreaming();
    if (recording) KR2270_DFWClose(device);
  }
};

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint64_t LostGroups(KR2270Device* device) {
  std::uint64_t lost = 0;
  Check(KR2270_HcGetLostGroups(device, &lost), "reading the lost-group count");
  return lost;
}

// Bytes recorded so far; -1 once the recording has stopped on a failed write.
std::int64_t RecordedBytes(KR2270Device* device) {
  std::int64_t bytes = 0;
  std::int32_t files = 0;
  return KR2270_DFWGetInfo(device, &bytes, &files) < 0 ? -1 : bytes;
}

std::string HowFar(const AcquisitionResult& result, double elapsed_s) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", elapsed_s);
  return "after " + std::to_string(result.outputs) + " groups (" + seconds + " s)";
}

void EndRun(AcquisitionResult& result, RunEnd end, const std::string& why) {
  result.end = end;
  result.why = why;
}

std::string CsvFailure(CsvOutput& csv, int error) {
  const std::string name = IsStdout(csv.path) ? "standard output" : csv.path;
  return "writing " + name + " failed: " + SystemErrorText(error);
}

std::string RecordingFailure(const std::string& dir) {
  const std::string cause = DiskIsFull(dir) ? SystemErrorText(ENOSPC) : "a write failed";
  return "the recording in " + dir + " stopped: " + cause;
}

// Ends the run for a cause that does not come from the stream.
bool EndedFromOutside(KR2270Device* device, const AcquisitionPlan& plan, const BatchSinks& sinks,
                      AcquisitionResult& result, double now_s) {
  if (Interrupted()) {
    EndRun(result, RunEnd::kInterrupted, "interrupted " + HowFar(result, now_s));
    return true;
  }
  if (sinks.csv != nullptr) {
    if (const int error = CsvError(*sinks.csv); error != 0) {
      if (IsClosedOutput(error))
        EndRun(result, RunEnd::kOutputClosed,
               "the reader of standard output went away " + HowFar(result, now_s));
      else
        EndRun(result, RunEnd::kCsvFailed, CsvFailure(*sinks.csv, error) + " " + HowFar(result, now_s));
      return true;
    }
  }
  if (!plan.record_dir.empty() && RecordedBytes(device) < 0) {
    EndRun(result, RunEnd::kRecordingFailed, RecordingFailure(plan.record_dir) + " " + HowFar(result, now_s));
    return true;
  }
  return false;
}

// One pass: split what is buffered (up to `limit`) and deliver it.
std::int32_t TakeAndDeliver(KR2270Device* device, const StreamSelection& selection,
                            std::int64_t limit, AcquisitionResult& result, GroupBatch& batch,
                            const BatchSinks& sinks) {
  const auto wanted = static_cast<std::int32_t>(std::min<std::int64_t>(limit, kMaxSplit));
  if (wanted <= 0) return 0;
  const std::int32_t taken = DeliverBuffered(device, selection, wanted, batch, sinks);
  result.outputs += taken;
  if (taken > 0)
    result.next_index = batch.index.back() + static_cast<std::uint64_t>(IndexStep(selection));
  return taken;
}

// What is left of the span, or a pass's worth when there is no span.
std::int64_t LeftToTake(const AcquisitionPlan& plan, const AcquisitionResult& result) {
  return plan.target < 0 ? kMaxSplit : plan.target - result.outputs;
}

void ShowStatus(KR2270Device* device, StatusLine& line, const AcquisitionResult& result,
                double elapsed_s, bool recording) {
  if (!line.enabled) return;
  StatusFigures figures;
  figures.elapsed_s = elapsed_s;
  figures.groups = result.outputs;
  figures.lost = LostGroups(device);
  figures.ring_groups = std::max(0, KR2270_HcCodeCanReadGroupCount(device));
  figures.recorded_bytes = recording ? std::max<std::int64_t>(0, RecordedBytes(device)) : -1;
  UpdateStatusLine(line, figures);
}

// How long the module may send nothing before the run ends: a module that
// is alive but silent gets as long as a reconnect would be given.
int StallLimitMs(const AcquisitionPlan& plan, int timeout_ms) {
  return std::max({kMinStallMs, timeout_ms, plan.reconnect_ms});
}

// The library is bringing a dropped data connection back: the stream is
// neither lost (that ends the run) nor stalled.
bool Reconnecting(KR2270Device* device) {
  KR2270Health health{};
  health.struct_size = sizeof health;
  return KR2270_GetHealth(device, &health) == 0 && health.data_connected == 0 &&
         KR2270_HcIsDataLost(device) != 1;
}

// Takes outputs until the span is taken or something else ends the run.
// Stops the acquisition the moment the span is buffered: groups after it
// would only fill the ring while a slow reader holds the CSV up.
void TakeUntilDone(KR2270Device* device, const AcquisitionPlan& plan, int timeout_ms,
                   AcquisitionResult& result, const BatchSinks& sinks, RunningAcquisition& running,
                   Clock::time_point start) {
  StatusLine line = MakeStatusLine(sinks.csv != nullptr && IsStdout(sinks.csv->path));
  GroupBatch batch;
  const double stall_limit_s = StallLimitMs(plan, timeout_ms) / 1000.0;
  double last_data_s = 0.0;
  bool span_buffered = false;
  for (;;) {
    const double now_s = SecondsSince(start);
    if (EndedFromOutside(device, plan, sinks, result, now_s)) break;
    if (plan.target >= 0 && result.outputs >= plan.target) break;
    if (!span_buffered && plan.target >= 0 &&
        result.outputs + KR2270_HcCodeCanReadGroupCount(device) >= plan.target) {
      span_buffered = true;
      result.lost_groups = LostGroups(device);
      running.StopStreaming();
    }
    if (TakeAndDeliver(device, plan.selection, LeftToTake(plan, result), result, batch, sinks) > 0) {
      last_data_s = now_s;
    } else if (span_buffered) {
      break;  // defensive: the buffered span did not split
    } else if (KR2270_HcIsDataLost(device) == 1) {
      EndRun(result, RunEnd::kConnectionLost,
             "the module closed the data connection " + HowFar(result, now_s));
      break;
    } else if (Reconnecting(device)) {
      last_data_s = now_s;  // the library's own limit decides meanwhile
      KR2270_HcWaitGroups(device, 1, kWaitSliceMs);
    } else if (now_s - last_data_s > stall_limit_s) {
      EndRun(result, RunEnd::kStalled,
             "no data from the module for " + std::to_string(static_cast<int>(stall_limit_s)) +
                 " s " + HowFar(result, now_s));
      break;
    } else if (KR2270_HcWaitGroups(device, 1, kWaitSliceMs) < 0) {
      // Stopped or lost: the next pass says which; no busy loop meanwhile.
      if (KR2270_HcIsDataLost(device) != 1) std::this_thread::sleep_for(kIdlePoll);
    }
    ShowStatus(device, line, result, now_s, !plan.record_dir.empty());
  }
  ClearStatusLine(line);
  if (!span_buffered) result.lost_groups = LostGroups(device);
}

// After the stop: what the ring still holds was captured, so it goes out
// too (up to the span), unless the CSV can no longer take it.
void DrainAfterStop(KR2270Device* device, const AcquisitionPlan& plan, AcquisitionResult& result,
                    const BatchSinks& sinks, bool drain) {
  if (result.end == RunEnd::kCsvFailed || result.end == RunEnd::kOutputClosed) return;
  GroupBatch batch;
  const auto limit = [&] { return drain ? kMaxSplit : LeftToTake(plan, result); };
  while (TakeAndDeliver(device, plan.selection, limit(), result, batch, sinks) > 0) {
  }
}

// Opens the recording; the library names its first file and its sidecar.
void StartRecording(KR2270Device* device, const std::string& dir, AcquisitionResult& result) {
  Check(KR2270_DFWOpen(device, dir.c_str(), 0), "cannot record to " + dir);
  result.recording = RecordingFileName(device, 0);
  result.sidecar = RecordingFileName(device, 2);
}

// The recording as a reader finds it: whole groups, once it is closed.
std::int64_t RecordedGroups(const std::string& first_file) {
  try {
    DeviceHandle reader = CreateDevice();
    if (KR2270_DFROpen(reader.get(), first_file.c_str(), 0) < 0) return 0;
    double groups = 0.0;
    KR2270_DFRGetGroupTotal(reader.get(), &groups, nullptr);
    return static_cast<std::int64_t>(groups);
  } catch (const ToolError&) {
    return 0;
  }
}

void FinishRecording(KR2270Device* device, const AcquisitionPlan& plan, AcquisitionResult& result,
                     RunningAcquisition& running, RecordingMetadata& metadata) {
  running.recording = false;
  const bool failed_before = RecordedBytes(device) < 0;
  // The run's end goes into the sidecar while the recording is still open;
  // a failure of the close itself the library's end status records.
  metadata.end =
      RecordingEnd{result.lost_groups, RunEndName(result.end), result.why, UtcTimestampNow()};
  WriteMetadata(device, metadata);
  std::int64_t bytes = 0;
  KR2270_DFWGetInfo(device, &bytes, nullptr);
  result.recorded_bytes = bytes;
  if (KR2270_DFWClose(device) < 0 && result.end != RunEnd::kRecordingFailed) {
    EndRun(result, RunEnd::kRecordingFailed,
           RecordingFailure(plan.record_dir) + (failed_before ? "" : " at the final flush"));
  }
  result.recorded_groups = RecordedGroups(result.recording);
}

// Reconnect gaps before the end of the span: groups of it that are missing.
std::uint64_t MissingInReconnects(const GapReader& gaps, std::uint64_t span_end) {
  std::uint64_t missing = 0;
  for (const KR2270GapRecord& gap : gaps.gaps)
    if (gap.cause != KR2270_GAP_RING_FULL && gap.index < span_end) missing += gap.missing;
  return missing;
}

void FinishHealth(KR2270Device* device, AcquisitionResult& result) {
  result.health = {};
  result.health.struct_size = sizeof result.health;
  if (KR2270_GetHealth(device, &result.health) < 0) result.health = {};
  result.timeline = {};
  result.timeline.struct_size = sizeof result.timeline;
  if (KR2270_HcGetTimeline(device, &result.timeline) < 0) result.timeline = {};
  try {
    ReadNewGaps(device, result.gaps);
  } catch (const ToolError&) {
  }
  result.link_gap_groups = MissingInReconnects(result.gaps, result.next_index);
}

}  // namespace

const char* RunEndName(RunEnd end) {
  switch (end) {
    case RunEnd::kSpanTaken: return "span taken";
    case RunEnd::kInterrupted: return "interrupted";
    case RunEnd::kOutputClosed: return "output closed";
    case RunEnd::kStalled: return "module stalled";
    case RunEnd::kConnectionLost: return "data connection lost";
    case RunEnd::kLibraryError: return "library error";
    case RunEnd::kCsvFailed: return "CSV write failed";
    case RunEnd::kRecordingFailed: return "recording failed";
  }
  return "unknown";
}

int ExitCodeOf(const AcquisitionResult& result) {
  switch (result.end) {
    case RunEnd::kStalled:
    case RunEnd::kLibraryError:
    case RunEnd::kCsvFailed:
    case RunEnd::kRecordingFailed:
      return kExitFailure;
    default:
      break;
  }
  const bool lost = result.lost_groups != 0 || result.link_gap_groups != 0 || result.data_lost;
  return lost ? kExitDataLost : kExitOk;
}

void AppendToStore(GroupStore& store, const StreamSelection& selection, const GroupBatch& batch) {
  const auto append = [](auto& to, const auto& from) { to.insert(to.end(), from.begin(), from.end()); };
  append(store.index, batch.index);
  for (std::size_t k = 0; k < kAnalogChannels; ++k)
    if (selection.analog[k]) append(store.analog[k], batch.analog_codes[k]);
  if (selection.digital) append(store.digital, batch.digital);
  for (std::size_t k = 0; k < kCounters; ++k)
    if (selection.counters[k]) append(store.counters[k], batch.counters[k]);
  for (std::size_t k = 0; k < kEncoders; ++k)
    if (selection.encoders[k]) append(store.encoders[k], batch.encoders[k]);
  store.count += batch.count;
}

std::int32_t DeliverBuffered(KR2270Device* device, const StreamSelection& selection,
                             std::int32_t limit, GroupBatch& batch, const BatchSinks& sinks) {
  const std::int32_t taken = TakeBuffered(device, selection, limit, batch);
  if (taken == 0) return 0;
  ConvertBatch(device, selection, batch);
  // Read at every split, so that the library never drops one unread.
  if (sinks.gaps != nullptr) ReadNewGaps(device, *sinks.gaps);
  if (sinks.csv != nullptr) WriteCsvRows(*sinks.csv, selection, batch);
  if (sinks.store != nullptr) AppendToStore(*sinks.store, selection, batch);
  return taken;
}

int GroupBytes(const StreamSelection& selection) {
  int bytes = AnalogCount(selection) * selection.code_bytes + (selection.digital ? 2 : 0);
  for (bool on : selection.counters) bytes += on ? 4 : 0;
  for (bool on : selection.encoders) bytes += on ? 4 : 0;
  return bytes;
}

int DefaultTransferBytes(int group_bytes, const RateInfo& rate) {
  const int unit = group_bytes * rate.decimation;
  const int units = std::max(1, static_cast<int>(rate.group_rate * kTransferSeconds + 0.5));
  const int largest = std::max(1, kMaxTransferBytes / unit);
  return std::min(units, largest) * unit;
}

std::vector<RangeSetting> RangesToWrite(const StreamSelection& selection,
                                        const std::vector<RangeSetting>& given) {
  std::vector<RangeSetting> ranges;
  for (int channel = 1; channel <= kAnalogChannels; ++channel) {
    if (!selection.analog[static_cast<std::size_t>(channel - 1)]) continue;
    RangeSetting setting{channel, kTenVoltRange, false};
    for (const RangeSetting& g : given)
      if (g.channel == channel) setting = g;  // the last one given counts
    ranges.push_back(setting);
  }
  for (const RangeSetting& g : given)
    if (!selection.analog[static_cast<std::size_t>(g.channel - 1)]) ranges.push_back(g);
  return ranges;
}

void ApplyRanges(KR2270Device* device, const std::vector<RangeSetting>& ranges, int timeout_ms) {
  for (const RangeSetting& range : ranges) {
    const std::string what = "setting the range of channel " + std::to_string(range.channel);
    if (range.extended)
      Check(KR2270_AdSetRangeEx(device, range.channel, 1, range.code, timeout_ms), what);
    else
      Check(KR2270_AdSetRange(device, range.channel, range.code, timeout_ms), what);
  }
}

void ConfigureAcquisition(KR2270Device* device, const AcquisitionPlan& plan, int timeout_ms) {
  const StreamSelection& s = plan.selection;
  std::array<std::uint8_t, kAnalogChannels> analog{};
  for (std::size_t k = 0; k < kAnalogChannels; ++k) analog[k] = s.analog[k] ? 1 : 0;
  std::array<std::uint8_t, kCounters> counters{};
  for (std::size_t k = 0; k < kCounters; ++k) counters[k] = s.counters[k] ? 1 : 0;
  std::array<std::uint8_t, kEncoders> encoders{};
  for (std::size_t k = 0; k < kEncoders; ++k) encoders[k] = s.encoders[k] ? 1 : 0;

  Check(KR2270_AdInFifo(device, analog.data(), s.code_bytes, timeout_ms), "choosing analog channels");
  Check(KR2270_DiInFifo(device, s.digital ? 1 : 0, timeout_ms), "choosing the digital inputs");
  Check(KR2270_CtInFifo(device, counters.data(), timeout_ms), "choosing counters");
  Check(KR2270_EcInFifo(device, encoders.data(), timeout_ms), "choosing encoders");
  ApplyRanges(device, RangesToWrite(s, plan.ranges), timeout_ms);
  if (counters != decltype(counters){})
    Check(KR2270_CtSetModeAll(device, s.counter_modes.data(), timeout_ms), "setting the counter modes");
  Check(KR2270_HcSetFreq(device, plan.rate_code, timeout_ms), "setting the rate");
  Check(KR2270_HcSetTranBytesCount(device, plan.transfer_bytes, timeout_ms),
        "setting the transfer size");
  Check(KR2270_AdFilterTimesPC(device, s.average, nullptr), "setting the averaging count");
}

void ApplyReconnect(KR2270Device* device, const AcquisitionPlan& plan) {
  Check(KR2270_SetAutoReconnect(device, plan.reconnect_ms > 0 ? 1 : 0, plan.reconnect_ms),
        "setting the reconnect");
}

AcquisitionResult RunAcquisition(KR2270Device* device, const AcquisitionPlan& plan,
                                 int timeout_ms, const BatchSinks& sinks, bool drain) {
  RunningAcquisition running{device, timeout_ms};
  AcquisitionResult result;
  BatchSinks live = sinks;
  live.gaps = &result.gaps;
  RecordingMetadata metadata;
  if (!plan.record_dir.empty()) {
    StartRecording(device, plan.record_dir, result);
    running.recording = true;
    metadata = MetadataOfRun(plan, result.recording);
    WriteMetadata(device, metadata);
  }
  ApplyReconnect(device, plan);
  const auto start = Clock::now();
  running.streaming = true;
  Check(KR2270_HcStart(device, 1, timeout_ms), "starting acquisition");
  // From here on every group counts: files stay, whatever ends the run.
  if (live.csv != nullptr) live.csv->keep = true;
  SetQuitOnInterrupt(false);
  try {
    TakeUntilDone(device, plan, timeout_ms, result, live, running, start);
  } catch (const ToolError& error) {
    EndRun(result, RunEnd::kLibraryError, error.message + " " + HowFar(result, SecondsSince(start)));
  }
  if (result.why.empty())
    result.why = "the requested " + std::to_string(result.outputs) + " groups were taken";
  result.data_lost = KR2270_HcIsDataLost(device) == 1;
  running.StopStreaming();
  try {
    DrainAfterStop(device, plan, result, live, drain);
  } catch (const ToolError& error) {
    if (result.end == RunEnd::kSpanTaken) EndRun(result, RunEnd::kLibraryError, error.message);
  }
  result.elapsed_s = SecondsSince(start);
  FinishHealth(device, result);
  if (running.recording) FinishRecording(device, plan, result, running, metadata);
  return result;
}

}  // namespace kr2270::tool
