#include "acquisition.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "console.h"
#include "status_line.h"
#include "tool.h"

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
// How long the recording may take to catch up with the last groups taken.
constexpr int kRecordingSettleMs = 2000;
// The header at the start of every recording file (format version 1, the
// only one the writer produces).
constexpr std::int64_t kRecordingHeaderBytes = 318;
// Pause after finding the ring empty: the library offers no call that waits
// for data, and 2 ms is far below what the 32 MiB ring holds at any rate.
constexpr auto kIdlePoll = std::chrono::milliseconds(2);

// Stops acquisition and recording on every way out of a run.
struct RunningAcquisition {
  KR2270Device* device;
  int timeout_ms;
  bool streaming = false;
  bool recording = false;
  ~RunningAcquisition() {
    if (streaming) KR2270_HcStart(device, 0, timeout_ms);
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

std::int64_t RecordedBytes(KR2270Device* device) {
  std::int64_t bytes = 0;
  std::int32_t files = 0;
  Check(KR2270_DFWGetInfo(device, &bytes, &files), "recording");
  return bytes;
}

std::int64_t RecordedDataBytes(KR2270Device* device) {
  std::int64_t bytes = 0;
  std::int32_t files = 0;
  Check(KR2270_DFWGetInfo(device, &bytes, &files), "recording");
  return bytes - kRecordingHeaderBytes * files;
}

// One pass: split what is buffered (up to `limit`) and deliver it.
std::int32_t TakeAndDeliver(KR2270Device* device, const StreamSelection& selection,
                            std::int64_t limit, AcquisitionResult& result, GroupBatch& batch,
                            const BatchSinks& sinks) {
  const auto wanted = static_cast<std::int32_t>(std::min<std::int64_t>(limit, kMaxSplit));
  const std::int32_t taken = DeliverBuffered(device, selection, wanted, result.outputs, batch, sinks);
  result.outputs += taken;
  return taken;
}

void DrainBuffered(KR2270Device* device, const StreamSelection& selection,
                   AcquisitionResult& result, GroupBatch& batch, const BatchSinks& sinks) {
  while (TakeAndDeliver(device, selection, kMaxSplit, result, batch, sinks) > 0) {
  }
}

void ShowStatus(KR2270Device* device, StatusLine& line, const AcquisitionResult& result,
                double elapsed_s, bool recording) {
  if (!line.enabled) return;
  StatusFigures figures;
  figures.elapsed_s = elapsed_s;
  figures.groups = result.outputs;
  figures.lost = LostGroups(device);
  figures.ring_groups = std::max(0, KR2270_HcCodeCanReadGroupCount(device));
  figures.recorded_bytes = recording ? RecordedBytes(device) : -1;
  UpdateStatusLine(line, figures);
}

// Takes outputs until the target, an interrupt, a lost connection or a stall.
void TakeUntilDone(KR2270Device* device, const AcquisitionPlan& plan, int timeout_ms,
                   AcquisitionResult& result, const BatchSinks& sinks, Clock::time_point start) {
  StatusLine line = MakeStatusLine(sinks.csv != nullptr && IsStdout(sinks.csv->path));
  GroupBatch batch;
  const double stall_limit_s = std::max(kMinStallMs, timeout_ms) / 1000.0;
  double last_data_s = 0.0;
  while (!Interrupted()) {
    const std::int64_t left = plan.target < 0 ? kMaxSplit : plan.target - result.outputs;
    if (left <= 0) break;
    const double now_s = SecondsSince(start);
    if (TakeAndDeliver(device, plan.selection, left, result, batch, sinks) > 0) {
      last_data_s = now_s;
    } else if (KR2270_HcIsDataLost(device) == 1) {
      result.data_lost = true;
      break;
    } else if (now_s - last_data_s > stall_limit_s) {
      ClearStatusLine(line);
      Fail("no data from the module for " + std::to_string(static_cast<int>(stall_limit_s)) +
           " s after " + std::to_string(result.outputs) + " groups");
    } else {
      std::this_thread::sleep_for(kIdlePoll);
    }
    ShowStatus(device, line, result, now_s, !plan.record_dir.empty());
  }
  ClearStatusLine(line);
  result.interrupted = Interrupted();
}

// The receiver appends a block to the recording just after it put the block
// into the ring, so the last groups taken may still be on their way to disk.
void WaitForRecording(KR2270Device* device, const AcquisitionPlan& plan,
                      AcquisitionResult& result, const BatchSinks& sinks, bool drain) {
  const std::int64_t group_bytes = GroupBytes(plan.selection);
  const std::int64_t per_output = std::max(1, plan.selection.average);
  const auto start = Clock::now();
  GroupBatch batch;
  for (;;) {
    if (drain) DrainBuffered(device, plan.selection, result, batch, sinks);
    if (RecordedDataBytes(device) >= result.outputs * per_output * group_bytes) return;
    if (SecondsSince(start) * 1000.0 > kRecordingSettleMs) return;
    std::this_thread::sleep_for(kIdlePoll);
  }
}

}  // namespace

void AppendToStore(GroupStore& store, const StreamSelection& selection, const GroupBatch& batch) {
  const auto append = [](auto& to, const auto& from) { to.insert(to.end(), from.begin(), from.end()); };
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
                             std::int32_t limit, std::int64_t first_index, GroupBatch& batch,
                             const BatchSinks& sinks) {
  const std::int32_t taken = TakeBuffered(device, selection, limit, batch);
  if (taken == 0) return 0;
  ConvertBatch(device, selection, batch);
  if (sinks.csv != nullptr) WriteCsvRows(*sinks.csv, selection, batch, first_index);
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
  ApplyRanges(device, plan.ranges, timeout_ms);
  Check(KR2270_HcSetFreq(device, plan.rate_code, timeout_ms), "setting the rate");
  Check(KR2270_HcSetTranBytesCount(device, plan.transfer_bytes, timeout_ms),
        "setting the transfer size");
  Check(KR2270_AdFilterTimesPC(device, s.average, nullptr), "setting the averaging count");
  std::array<std::int32_t, kAnalogChannels> zero{};
  std::array<std::int32_t, kAnalogChannels> full{};
  Check(KR2270_AdReadZeroFull(device, zero.data(), full.data(), timeout_ms),
        "reading the calibration");
}

AcquisitionResult RunAcquisition(KR2270Device* device, const AcquisitionPlan& plan,
                                 int timeout_ms, const BatchSinks& sinks, bool drain) {
  InterruptScope interrupts;
  RunningAcquisition running{device, timeout_ms};
  AcquisitionResult result;
  if (!plan.record_dir.empty()) {
    Check(KR2270_DFWOpen(device, plan.record_dir.c_str(), 0), "cannot record to " + plan.record_dir);
    running.recording = true;
  }
  const auto start = Clock::now();
  running.streaming = true;
  Check(KR2270_HcStart(device, 1, timeout_ms), "starting acquisition");
  TakeUntilDone(device, plan, timeout_ms, result, sinks, start);
  if (!result.data_lost) result.data_lost = KR2270_HcIsDataLost(device) == 1;
  running.streaming = false;
  const std::int32_t stopped = KR2270_HcStart(device, 0, timeout_ms);
  if (stopped < 0 && !result.data_lost) Check(stopped, "stopping acquisition");
  if (drain) {
    GroupBatch batch;
    DrainBuffered(device, plan.selection, result, batch, sinks);
  }
  result.elapsed_s = SecondsSince(start);
  result.lost_groups = LostGroups(device);
  if (running.recording) {
    WaitForRecording(device, plan, result, sinks, drain);
    result.recorded_bytes = RecordedBytes(device);
    running.recording = false;
    Check(KR2270_DFWClose(device), "finishing the recording");
  }
  return result;
}

}  // namespace kr2270::tool
