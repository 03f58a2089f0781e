// What the live view draws: every selected channel as a trace of values,
// reduced to one min/max envelope per pixel column, so that even 256000
// groups per second reach a browser as a few thousand numbers a frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream.h"

namespace kr2270::tool {

enum class TraceKind { kAnalog, kDigital, kCounter, kEncoder };

struct TraceInfo {
  std::string name;  // "ai1", "di13", "ct2", "ec1"
  TraceKind kind;
};

// Analog channels, the 16 digital inputs one by one, counters, encoders:
// the selected ones, in stream order. Every trace array below follows it.
std::vector<TraceInfo> TracesOf(const StreamSelection& selection);

// One batch of outputs as one value array per trace: analog in volts,
// digital inputs 0 or 1, counters converted where their mode allows (raw
// otherwise), encoders as signed counts.
using TraceValues = std::vector<std::vector<double>>;
void FillTraceValues(const StreamSelection& selection, const GroupBatch& batch,
                     TraceValues& values);

struct Column {
  double min = 0.0;
  double max = 0.0;
  double last = 0.0;
};

// Columns of `groups_per_column` outputs each; column j holds outputs
// j * groups_per_column up to the next column's first, so every viewer's
// columns line up with the stream whenever it joined.
struct Envelope {
  std::int64_t groups_per_column = 1;
  std::int64_t column = 0;  // index of the column being filled
  std::int64_t filled = 0;  // outputs of it passed so far, seen or not
  bool empty = true;        // no value of the open column seen yet
  std::vector<Column> open;  // per trace, the column being filled
  // Completed columns not yet taken: column first_ready, first_ready + 1, ...
  // each with one entry per trace.
  std::int64_t first_ready = 0;
  std::vector<std::vector<Column>> ready;
};

// An envelope for `traces` traces that starts with output `next_output`.
Envelope MakeEnvelope(std::size_t traces, std::int64_t groups_per_column,
                      std::int64_t next_output);

void AddToEnvelope(Envelope& envelope, const TraceValues& values, std::int32_t count);

// Outputs per column for a window of `window_s` seconds drawn in `columns`
// columns, at least 1.
std::int64_t GroupsPerColumn(double output_rate, double window_s, int columns);

}  // namespace kr2270::tool
