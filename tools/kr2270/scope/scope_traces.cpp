#include "scope/scope_traces.h"

#include <algorithm>
#include <cmath>

namespace kr2270::tool {
namespace {

constexpr int kDigitalInputs = 16;

void Resize(std::vector<double>& values, std::int32_t count) {
  values.resize(static_cast<std::size_t>(count));
}

// Folds values[from, to) of every trace into the open column.
void FoldSegment(Envelope& envelope, const TraceValues& values, std::size_t from,
                 std::size_t to) {
  for (std::size_t t = 0; t < values.size(); ++t) {
    const double* v = values[t].data();
    Column& c = envelope.open[t];
    if (envelope.empty) c = {v[from], v[from], v[from]};
    double low = c.min;
    double high = c.max;
    for (std::size_t i = from; i < to; ++i) {
      low = std::min(low, v[i]);
      high = std::max(high, v[i]);
    }
    c = {low, high, v[to - 1]};
  }
  envelope.filled += static_cast<std::int64_t>(to - from);
  envelope.empty = false;
}

void CloseColumn(Envelope& envelope) {
  envelope.ready.back().columns.push_back(envelope.open);
  ++envelope.column;
  envelope.filled = 0;
  envelope.empty = true;
}

void FoldOutputs(Envelope& envelope, const TraceValues& values, std::size_t at, std::size_t end) {
  while (at < end) {
    const auto room = static_cast<std::size_t>(envelope.groups_per_column - envelope.filled);
    const std::size_t stop = at + std::min(room, end - at);
    FoldSegment(envelope, values, at, stop);
    at = stop;
    if (envelope.filled >= envelope.groups_per_column) CloseColumn(envelope);
  }
}

// The next completed column joins the last run only if it follows it.
void ContinueRunAt(Envelope& envelope) {
  ColumnRun& last = envelope.ready.back();
  const auto next = last.first + static_cast<std::int64_t>(last.columns.size());
  if (next == envelope.column) return;
  if (last.columns.empty())
    last.first = envelope.column;
  else
    envelope.ready.push_back({envelope.column, {}, {}});
}

void SkipGap(Envelope& envelope, const BatchGap& gap) {
  const std::int64_t width = envelope.groups_per_column;
  const std::int64_t stopped = envelope.column * width + envelope.filled;
  envelope.ready.back().gaps.push_back({stopped, gap.missing, gap.cause});
  const std::int64_t resumed = stopped + gap.missing;
  if (resumed / width != envelope.column) {
    if (!envelope.empty) CloseColumn(envelope);
    envelope.column = resumed / width;
    envelope.empty = true;
    ContinueRunAt(envelope);
  }
  envelope.filled = resumed % width;
}

}  // namespace

std::vector<TraceInfo> TracesOf(const StreamSelection& selection) {
  std::vector<TraceInfo> traces;
  for (int k = 1; k <= kAnalogChannels; ++k)
    if (selection.analog[static_cast<std::size_t>(k - 1)])
      traces.push_back({"ai" + std::to_string(k), TraceKind::kAnalog});
  if (selection.digital)
    for (int k = 1; k <= kDigitalInputs; ++k)
      traces.push_back({"di" + std::to_string(k), TraceKind::kDigital});
  for (int k = 1; k <= kCounters; ++k)
    if (selection.counters[static_cast<std::size_t>(k - 1)])
      traces.push_back({"ct" + std::to_string(k), TraceKind::kCounter});
  for (int k = 1; k <= kEncoders; ++k)
    if (selection.encoders[static_cast<std::size_t>(k - 1)])
      traces.push_back({"ec" + std::to_string(k), TraceKind::kEncoder});
  return traces;
}

void FillTraceValues(const StreamSelection& selection, const GroupBatch& batch,
                     TraceValues& values) {
  std::size_t t = 0;
  const auto next = [&]() -> std::vector<double>& {
    if (values.size() <= t) values.resize(t + 1);
    Resize(values[t], batch.count);
    return values[t++];
  };
  const auto n = static_cast<std::size_t>(batch.count);
  for (std::size_t k = 0; k < kAnalogChannels; ++k)
    if (selection.analog[k]) std::copy_n(batch.volts[k].begin(), n, next().begin());
  if (selection.digital)
    for (int bit = 0; bit < kDigitalInputs; ++bit) {
      auto& v = next();
      for (std::size_t i = 0; i < n; ++i) v[i] = (batch.digital[i] >> bit) & 1u;
    }
  for (std::size_t k = 0; k < kCounters; ++k) {
    if (!selection.counters[k]) continue;
    auto& v = next();
    if (CounterConverts(selection.counter_modes[k]))
      std::copy_n(batch.counter_values[k].begin(), n, v.begin());
    else
      std::copy_n(batch.counters[k].begin(), n, v.begin());
  }
  for (std::size_t k = 0; k < kEncoders; ++k) {
    if (!selection.encoders[k]) continue;
    auto& v = next();
    // Encoders count both ways: the word is a signed count.
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::int32_t>(batch.encoders[k][i]);
  }
  values.resize(t);
}

Envelope MakeEnvelope(std::size_t traces, std::int64_t groups_per_column,
                      std::int64_t next_output) {
  Envelope envelope;
  envelope.groups_per_column = std::max<std::int64_t>(1, groups_per_column);
  envelope.column = next_output / envelope.groups_per_column;
  // A viewer that joins mid-column counts the outputs it missed, so that its
  // first column closes where every other viewer's does.
  envelope.filled = next_output % envelope.groups_per_column;
  envelope.open.resize(traces);
  envelope.ready.push_back({envelope.column, {}, {}});
  return envelope;
}

void AddToEnvelope(Envelope& envelope, const TraceValues& values, std::int32_t count,
                   const std::vector<BatchGap>& gaps) {
  const auto n = static_cast<std::size_t>(count);
  std::size_t at = 0;
  for (const BatchGap& gap : gaps) {
    const auto before = std::min(n, static_cast<std::size_t>(std::max<std::int64_t>(0, gap.before)));
    FoldOutputs(envelope, values, at, before);
    at = std::max(at, before);
    SkipGap(envelope, gap);
  }
  FoldOutputs(envelope, values, at, n);
}

std::vector<ColumnRun> TakeReady(Envelope& envelope) {
  std::vector<ColumnRun> taken;
  taken.swap(envelope.ready);
  envelope.ready.push_back({envelope.column, {}, {}});
  return taken;
}

std::int64_t GroupsPerColumn(double output_rate, double window_s, int columns) {
  const double per_column = output_rate * window_s / std::max(1, columns);
  return std::max<std::int64_t>(1, std::llround(per_column));
}

}  // namespace kr2270::tool
