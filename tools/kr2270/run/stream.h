// The road from the stream ring to the application's arrays, shared by live
// acquisition and playback: split, fetch every selected queue with each
// output's timeline index, convert with the settings in force for each.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "kr2270c.h"
#include "app/options.h"

namespace kr2270::tool {

// What travels in a group, and how to read it.
struct StreamSelection {
  std::array<bool, kAnalogChannels> analog{};
  int code_bytes = 4;
  bool digital = false;
  std::array<bool, kCounters> counters{};
  std::array<std::int8_t, kCounters> counter_modes{};  // decide how counters convert
  std::array<bool, kEncoders> encoders{};
  int average = 0;          // groups per averaged output, 0 = none
  double group_rate = 0.0;  // groups per second delivered to the host
};

int AnalogCount(const StreamSelection& selection);

// Timeline index periods from one output to the next: the averaging count.
int IndexStep(const StreamSelection& selection);

// Seconds since the run's first group of the output with timeline index
// `index`.
double TimeOfIndex(const StreamSelection& selection, std::uint64_t index);

// One split's worth of outputs, one vector per selected channel.
struct GroupBatch {
  std::int32_t count = 0;
  std::vector<std::uint64_t> index;  // timeline index of each output (see kr2270c.h)
  std::array<std::vector<std::int32_t>, kAnalogChannels> analog_codes;  // as fetched
  std::array<std::vector<std::int32_t>, kAnalogChannels> signed_codes;  // sign-extended
  std::array<std::vector<double>, kAnalogChannels> volts;
  std::vector<std::uint16_t> digital;
  std::array<std::vector<std::uint32_t>, kCounters> counters;
  std::array<std::vector<double>, kCounters> counter_values;
  std::array<std::vector<std::uint32_t>, kEncoders> encoders;
};

// Takes up to `limit` buffered outputs out of the ring and fetches their
// indices and every selected channel. Returns the count taken, 0 when
// nothing is buffered.
std::int32_t TakeBuffered(KR2270Device* device, const StreamSelection& selection,
                          std::int32_t limit, GroupBatch& batch);

// Fetches every selected channel of the `count` groups the queues hold
// (after a split or a taken capture) into batch.
void FetchQueued(KR2270Device* device, const StreamSelection& selection, std::int32_t count,
                 GroupBatch& batch);

// Codes of the last split (or taken capture) to values, each group with the
// settings in force for it: analog codes to volts through the calibration
// and range, counters by their mode (modes other than 0, 1 and 3 stay raw).
void ConvertBatch(KR2270Device* device, const StreamSelection& selection, GroupBatch& batch);

bool CounterConverts(std::int8_t mode);

// Every gap of the run, in the order found: each read asks the library for
// the gaps from the newest one read on. That one is read again because it
// may still grow: drops that follow it with no group between join it.
struct GapReader {
  std::vector<KR2270GapRecord> gaps;
  std::uint64_t unread = 0;  // gaps the library no longer kept when asked
};

// Reads the gaps found (or grown) since the last read; throws on a library
// error.
void ReadNewGaps(KR2270Device* device, GapReader& reader);

// "ring full", "link lost", "module restart" or "unknown".
const char* GapCauseName(std::int32_t cause);

}  // namespace kr2270::tool
