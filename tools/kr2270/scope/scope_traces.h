// What the live view draws: every selected channel as a trace of values,
// reduced to one min/max envelope per pixel column, so that even 256000
// groups per second reach a browser as a few thousand numbers a frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/stream.h"

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

// A gap in the stream as one batch meets it: the outputs missing just before
// the batch's output `before`.
struct BatchGap {
  std::int64_t before = 0;
  std::int64_t missing = 0;
  std::int32_t cause = 0;  // a KR2270GapCause
};

// A gap as a viewer sees it: where the stream stopped, in outputs passed
// since the start, seen or missing.
struct GapMark {
  std::int64_t position = 0;
  std::int64_t missing = 0;
  std::int32_t cause = 0;
};

// Completed columns in a row, column `first`, first + 1, ..., each with one
// entry per trace, and the gaps met since the run before. A gap that skips
// whole columns ends its run.
struct ColumnRun {
  std::int64_t first = 0;
  std::vector<std::vector<Column>> columns;
  std::vector<GapMark> gaps;
};

// Columns of `groups_per_column` outputs each; column j holds outputs
// j * groups_per_column up to the next column's first, so every viewer's
// columns line up with the stream whenever it joined. Outputs are counted by
// position: the missing outputs of a gap take their place on the axis too.
struct Envelope {
  std::int64_t groups_per_column = 1;
  std::int64_t column = 0;  // index of the column being filled
  std::int64_t filled = 0;  // outputs of it passed so far, seen or not
  bool empty = true;        // no value of the open column seen yet
  std::vector<Column> open;  // per trace, the column being filled
  // Completed columns not yet taken, oldest first; never empty: the last run
  // is the one the next completed column joins.
  std::vector<ColumnRun> ready;
};

// An envelope for `traces` traces that starts at position `next_output`.
Envelope MakeEnvelope(std::size_t traces, std::int64_t groups_per_column,
                      std::int64_t next_output);

// Folds `count` outputs in, skipping each gap's missing outputs just before
// the output it names (`gaps` in stream order). A column that the gap
// leaves is completed with what it had; columns wholly inside the gap are
// never made.
void AddToEnvelope(Envelope& envelope, const TraceValues& values, std::int32_t count,
                   const std::vector<BatchGap>& gaps = {});

// Hands over the completed runs and starts an empty one.
std::vector<ColumnRun> TakeReady(Envelope& envelope);

// Outputs per column for a window of `window_s` seconds drawn in `columns`
// columns, at least 1.
std::int64_t GroupsPerColumn(double output_rate, double window_s, int columns);

}  // namespace kr2270::tool
