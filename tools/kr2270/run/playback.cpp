#include "run/playback.h"

#include <algorithm>
#include <filesystem>
#include <iterator>

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

// Ranges, calibration pairs and counter setup as the first group converts
// with them; the rest of the analog setup from the header.
void ReadAnalogSettings(KR2270Device* device, RecordedSettings& s) {
  Check(KR2270_DFRGetSettings(device, 0, &s.first, 1, nullptr), "reading the recorded settings");
  Check(KR2270_DFRAdGetEndMode(device, s.end_mode.data()), "reading the recorded end modes");
  Check(KR2270_DFRAdGetSleep(device, s.sleep.data()), "reading the recorded sleep flags");
}

void ReadOtherSettings(KR2270Device* device, RecordedSettings& s) {
  Check(KR2270_DFRGetTri(device, &s.trigger_enable, &s.trigger_mode), "reading the recorded trigger");
  Check(KR2270_DFRGetTriCount(device, &s.trigger_count), "reading the recorded trigger count");
  if (KR2270_DFRGetFreq(device, &s.group_rate) < 0) s.group_rate = 0.0;
  s.group_bytes = Check(KR2270_HcGetGroupBc(device), "reading the group size");
  Check(KR2270_DFRGetGroupTotal(device, &s.groups, &s.seconds), "reading the group total");
}

// Every record of a numbered list, read a page at a time from the number
// after the last one read.
template <typename Record, typename Read>
std::vector<Record> ReadNumbered(Read read, const std::string& what) {
  constexpr std::int32_t kPage = 256;
  std::vector<Record> all;
  for (;;) {
    const std::size_t at = all.size();
    const std::uint64_t next = at == 0 ? 0 : all[at - 1].number + 1;
    all.resize(at + kPage);
    const std::int32_t got = Check(read(next, &all[at], kPage), what);
    all.resize(at + static_cast<std::size_t>(got));
    if (got < kPage) return all;
  }
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
  std::copy(std::begin(settings.first.counter_mode), std::end(settings.first.counter_mode),
            s.counter_modes.begin());
  const int analog = AnalogCount(s);
  // The code width is not among the accessors; the group size gives it away.
  s.code_bytes = analog > 0 ? (settings.group_bytes - other_bytes) / analog : 4;
  s.group_rate = settings.group_rate;
  return s;
}

RecordedTimeline ReadRecordedTimeline(KR2270Device* device) {
  RecordedTimeline t;
  t.timeline.struct_size = sizeof t.timeline;
  Check(KR2270_DFRGetTimeline(device, &t.timeline), "reading the recording's timeline");
  t.gaps = ReadNumbered<KR2270GapRecord>(
      [&](std::uint64_t next, KR2270GapRecord* page, std::int32_t max) {
        return KR2270_DFRGetGaps(device, next, page, max, nullptr);
      },
      "reading the recording's gaps");
  t.settings = ReadNumbered<KR2270ConversionSettings>(
      [&](std::uint64_t next, KR2270ConversionSettings* page, std::int32_t max) {
        return KR2270_DFRGetSettings(device, next, page, max, nullptr);
      },
      "reading the recording's settings");
  return t;
}

std::uint64_t MissingBefore(const RecordedTimeline& timeline, std::int64_t position) {
  std::uint64_t missing = 0;
  for (const KR2270GapRecord& gap : timeline.gaps)
    if (gap.position == static_cast<std::uint64_t>(position)) missing += gap.missing;
  return missing;
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
      const std::int32_t n = DeliverBuffered(device, selection, read - taken, batch, sinks);
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
