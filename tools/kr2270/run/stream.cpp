#include "run/stream.h"

#include <algorithm>
#include <string>

#include "app/tool.h"

namespace kr2270::tool {
namespace {

template <typename T>
void Resize(std::vector<T>& values, std::int32_t count) {
  values.resize(static_cast<std::size_t>(count));
}

void ExpectFetched(std::int32_t fetched, std::int32_t count, const std::string& what) {
  Check(fetched, "fetching " + what);
  if (fetched != count)
    Fail("fetching " + what + ": got " + std::to_string(fetched) + " values of " +
         std::to_string(count) + " split");
}

void FetchAnalog(KR2270Device* device, const StreamSelection& selection, GroupBatch& batch) {
  for (int channel = 1; channel <= kAnalogChannels; ++channel) {
    const auto k = static_cast<std::size_t>(channel - 1);
    if (!selection.analog[k]) continue;
    Resize(batch.analog_codes[k], batch.count);
    ExpectFetched(KR2270_HcCodeGetAd(device, channel, batch.analog_codes[k].data()), batch.count,
                  "analog channel " + std::to_string(channel));
  }
}

void FetchOthers(KR2270Device* device, const StreamSelection& selection, GroupBatch& batch) {
  if (selection.digital) {
    Resize(batch.digital, batch.count);
    ExpectFetched(KR2270_HcCodeGetDi(device, batch.digital.data()), batch.count,
                  "digital inputs");
  }
  for (int counter = 1; counter <= kCounters; ++counter) {
    const auto k = static_cast<std::size_t>(counter - 1);
    if (!selection.counters[k]) continue;
    Resize(batch.counters[k], batch.count);
    ExpectFetched(KR2270_HcCodeGetCt(device, counter, batch.counters[k].data()), batch.count,
                  "counter " + std::to_string(counter));
  }
  for (int encoder = 1; encoder <= kEncoders; ++encoder) {
    const auto k = static_cast<std::size_t>(encoder - 1);
    if (!selection.encoders[k]) continue;
    Resize(batch.encoders[k], batch.count);
    ExpectFetched(KR2270_HcCodeGetEc(device, encoder, batch.encoders[k].data()), batch.count,
                  "encoder " + std::to_string(encoder));
  }
}

}  // namespace

int AnalogCount(const StreamSelection& selection) {
  int count = 0;
  for (bool on : selection.analog) count += on ? 1 : 0;
  return count;
}

int IndexStep(const StreamSelection& selection) { return std::max(1, selection.average); }

double TimeOfIndex(const StreamSelection& selection, std::uint64_t index) {
  return static_cast<double>(index) / selection.group_rate;
}

void ReadNewGaps(KR2270Device* device, GapReader& reader) {
  constexpr std::int32_t kPage = 256;
  KR2270GapRecord page[kPage];
  for (;;) {
    const std::uint64_t first = reader.gaps.empty() ? 0 : reader.gaps.back().number;
    const std::int32_t count =
        Check(KR2270_HcGetGapsSince(device, first, page, kPage, nullptr), "reading the gaps");
    for (std::int32_t i = 0; i < count; ++i) {
      if (!reader.gaps.empty() && reader.gaps.back().number == page[i].number) {
        reader.gaps.back() = page[i];
        continue;
      }
      const std::uint64_t expected = reader.gaps.empty() ? 0 : reader.gaps.back().number + 1;
      reader.unread += page[i].number - expected;
      reader.gaps.push_back(page[i]);
    }
    if (count < kPage) return;
  }
}

bool CounterConverts(std::int8_t mode) { return mode == 0 || mode == 1 || mode == 3; }

const char* GapCauseName(std::int32_t cause) {
  switch (cause) {
    case KR2270_GAP_RING_FULL: return "ring full";
    case KR2270_GAP_LINK_LOST: return "link lost";
    case KR2270_GAP_MODULE_RESTART: return "module restart";
    default: return "unknown";
  }
}

std::int32_t TakeBuffered(KR2270Device* device, const StreamSelection& selection,
                          std::int32_t limit, GroupBatch& batch) {
  batch.count = 0;
  const std::int32_t buffered = Check(KR2270_HcCodeCanReadGroupCount(device), "counting groups");
  const std::int32_t wanted = std::min(buffered, limit);
  if (wanted <= 0) return 0;
  const std::int32_t split = Check(KR2270_HcCodeSplit(device, wanted), "splitting groups");
  FetchQueued(device, selection, split, batch);
  return batch.count;
}

void FetchQueued(KR2270Device* device, const StreamSelection& selection, std::int32_t count,
                 GroupBatch& batch) {
  batch.count = count;
  if (count == 0) return;
  Resize(batch.index, batch.count);
  ExpectFetched(KR2270_HcCodeGetIndex(device, batch.index.data()), batch.count, "the indices");
  FetchAnalog(device, selection, batch);
  FetchOthers(device, selection, batch);
}

void ConvertBatch(KR2270Device* device, const StreamSelection& selection, GroupBatch& batch) {
  for (int channel = 1; channel <= kAnalogChannels; ++channel) {
    const auto k = static_cast<std::size_t>(channel - 1);
    if (!selection.analog[k]) continue;
    batch.signed_codes[k] = batch.analog_codes[k];
    Resize(batch.volts[k], batch.count);
    Check(KR2270_HcAdCodeToValue(device, channel, batch.signed_codes[k].data(), batch.count,
                                 batch.volts[k].data()),
          "converting analog channel " + std::to_string(channel));
  }
  for (int counter = 1; counter <= kCounters; ++counter) {
    const auto k = static_cast<std::size_t>(counter - 1);
    if (!selection.counters[k] || !CounterConverts(selection.counter_modes[k])) continue;
    Resize(batch.counter_values[k], batch.count);
    Check(KR2270_HcCtCodeToValue(device, counter, batch.counters[k].data(), batch.count,
                                 batch.counter_values[k].data()),
          "converting counter " + std::to_string(counter));
  }
}

}  // namespace kr2270::tool
