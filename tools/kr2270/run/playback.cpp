#include "run/playback.h"

#include <algorithm>
#include <filesystem>

#include "system/system.h"

namespace kr2270::tool {
namespace {

// Groups put into the ring per read: well below its 32 MiB at any group size.
constexpr std::int32_t kReplayChunk = 1 << 15;

void ReadStreamEnables(KR2270Device* device, RecordedSettings& s) {
  Check(KR2270_DFRGetAdInFifo(device, s.analog.data()), "reading the recorded analog channels");
  Check(KR2270_DFRGetCtInFifo(device, s.counters.data()), "reading the recorded counters");
  Check(KR2270_DFRGetEcInFifo(device, s.encoders.data()), "reading the recorded encoders");
  Check(KR2270_DFRGetDiInFifo(device, &s.digital), "reading the recorded digital inputs");
}

void ReadAnalogSettings(KR2270Device* device, RecordedSettings& s) {
  Check(KR2270_DFRGetRange(device, s.range.data()), "reading the recorded ranges");
  Check(KR2270_DFRAdReadZeroFull(device, s.zero.data(), s.full.data()),
        "reading the recorded calibration");
  Check(KR2270_DFRAdGetEndMode(device, s.end_mode.data()), "reading the recorded end modes");
  Check(KR2270_DFRAdGetSleep(device, s.sleep.data()), "reading the recorded sleep flags");
  // The full-scale code converts to the channel's full-scale value, whatever
  // range table the recording was made with.
  for (int channel = 1; channel <= kAnalogChannels; ++channel) {
    const auto k = static_cast<std::size_t>(channel - 1);
    std::int32_t code = s.full[k];
    Check(KR2270_AdCodeToValue(device, channel, &code, 1, &s.full_scale[k]),
          "converting the recorded full-scale code");
  }
}

void ReadOtherSettings(KR2270Device* device, RecordedSettings& s) {
  Check(KR2270_DFRCtGetModeAll(device, s.counter_modes.data()), "reading the recorded counter modes");
  Check(KR2270_DFRCtGetFreqBase(device, s.counter_base_ms.data()),
        "reading the recorded counter base periods");
  Check(KR2270_DFRGetTri(device, &s.trigger_enable, &s.trigger_mode), "reading the recorded trigger");
  Check(KR2270_DFRGetTriCount(device, &s.trigger_count), "reading the recorded trigger count");
  if (KR2270_DFRGetFreq(device, &s.group_rate) < 0) s.group_rate = 0.0;
  s.group_bytes = Check(KR2270_HcGetGroupBc(device), "reading the group size");
  Check(KR2270_DFRGetGroupTotal(device, &s.groups, &s.seconds), "reading the group total");
}

}  // namespace

DeviceHandle OpenRecording(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(Utf8Path(path), error)) Fail(path + ": no such file");
  if (std::filesystem::is_directory(Utf8Path(path), error))
    Fail(path + " is a directory; give the recording's first file (..._1.dat)");
  DeviceHandle device = CreateDevice();
  const std::int32_t status = KR2270_DFROpen(device.get(), path.c_str(), 0);
  if (status == KR2270_ERROR_FILE_READ) Fail(path + " is not a recording: " + StatusMessage(status));
  Check(status, "cannot open recording " + path);
  return device;
}

RecordedSettings ReadRecordedSettings(KR2270Device* device) {
  RecordedSettings settings;
  ReadStreamEnables(device, settings);
  ReadAnalogSettings(device, settings);
  ReadOtherSettings(device, settings);
  return settings;
}

StreamSelection SelectionOfRecording(const RecordedSettings& settings) {
  StreamSelection s;
  int other_bytes = (settings.digital & 1) != 0 ? 2 : 0;
  for (std::size_t k = 0; k < kAnalogChannels; ++k) s.analog[k] = (settings.analog[k] & 1) != 0;
  for (std::size_t k = 0; k < kCounters; ++k) {
    s.counters[k] = (settings.counters[k] & 1) != 0;
    other_bytes += s.counters[k] ? 4 : 0;
  }
  for (std::size_t k = 0; k < kEncoders; ++k) {
    s.encoders[k] = (settings.encoders[k] & 1) != 0;
    other_bytes += s.encoders[k] ? 4 : 0;
  }
  s.digital = (settings.digital & 1) != 0;
  s.counter_modes = settings.counter_modes;
  const int analog = AnalogCount(s);
  // The code width is not among the accessors; the group size gives it away.
  s.code_bytes = analog > 0 ? (settings.group_bytes - other_bytes) / analog : 4;
  s.group_rate = settings.group_rate;
  return s;
}

std::int64_t ReplayRecording(KR2270Device* device, const StreamSelection& selection,
                             std::int64_t first, std::int64_t count, const BatchSinks& sinks) {
  GroupBatch batch;
  std::int64_t done = 0;
  while (done < count) {
    const auto wanted = static_cast<std::int32_t>(std::min<std::int64_t>(count - done, kReplayChunk));
    std::int32_t read = 0;
    Check(KR2270_DFRRead(device, static_cast<double>(first + done), wanted, &read),
          "reading group " + std::to_string(first + done) + " of the recording");
    if (read == 0) break;
    std::int32_t taken = 0;
    while (taken < read) {
      const std::int32_t n = DeliverBuffered(device, selection, read - taken, first + done + taken,
                                             batch, sinks);
      if (n == 0) Fail("the recording's groups did not reach the stream ring");
      taken += n;
    }
    done += read;
  }
  if (done < count)
    Fail("the recording ended after " + std::to_string(first + done) + " of " +
         std::to_string(first + count) + " groups");
  return done;
}

}  // namespace kr2270::tool
