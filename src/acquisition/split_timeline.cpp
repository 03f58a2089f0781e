// The splitter's side of the timeline: the index and the settings of every
// group it takes, from the marks the ring's producer left, and the windows
// of the averaging split, which never reach across a mark.
#include "acquisition/split_timeline.h"

#include <algorithm>

#include "acquisition/acquisition.h"

namespace kr2270 {
namespace {

void Iota(std::uint64_t* out, std::size_t n, std::uint64_t first) {
  for (std::size_t i = 0; i < n; ++i) out[i] = first + i;
}

void StartRows(SplitPosition& split) {
  split.rows.resize(1);
  split.rows[0].row = 0;
  split.rows[0].settings = split.settings;
}

// The settings change from row on.
void ChangeSettingsAt(SplitPosition& split, std::size_t row, const StreamMark& mark) {
  split.settings = mark.settings;
  split.settings_number = mark.settings_number;
  if (split.rows.back().row == row) {
    split.rows.back().settings = mark.settings;
  } else {
    split.rows.push_back(SettingsRow{row, mark.settings});
  }
}

// Takes the split's view past a mark.
void Pass(SplitPosition& split, const StreamMark& mark) {
  split.next_index = mark.index;
  if (mark.new_settings) {
    split.settings = mark.settings;
    split.settings_number = mark.settings_number;
  }
}

// Copies the marks that apply within the next `groups` groups, in order.
void MarksAhead(Device* device, std::uint64_t groups, std::vector<StreamMark>* ahead) {
  ahead->clear();
  if (device->marks.count.load(std::memory_order_acquire) == 0) return;
  const std::uint64_t end = device->split.taken + groups;
  std::lock_guard<std::mutex> hold(device->marks.lock);
  for (const StreamMark& mark : device->marks.queue) {
    if (mark.put_before >= end) break;
    ahead->push_back(mark);
  }
}

void DropMarksBefore(Device* device, std::uint64_t end) {
  StreamMarks& marks = device->marks;
  if (marks.count.load(std::memory_order_acquire) == 0) return;
  std::lock_guard<std::mutex> hold(marks.lock);
  while (!marks.queue.empty() && marks.queue.front().put_before < end) marks.queue.pop_front();
  marks.count.store(marks.queue.size(), std::memory_order_release);
}

std::size_t OffsetOf(const SplitPosition& split, const StreamMark& mark) {
  return static_cast<std::size_t>(std::max(mark.put_before, split.taken) - split.taken);
}

}  // namespace

void ClearSplitRows(Device* device) {
  device->split.indices.Clear();
  StartRows(device->split);
}

void PositionPlainSplit(Device* device, std::size_t k) {
  SplitPosition& split = device->split;
  split.indices.Clear();
  std::uint64_t* out = split.indices.Extend(k);
  StartRows(split);
  std::size_t row = 0;
  const std::uint64_t end = split.taken + k;
  StreamMarks& marks = device->marks;
  if (marks.count.load(std::memory_order_acquire) != 0) {
    std::lock_guard<std::mutex> hold(marks.lock);
    while (!marks.queue.empty() && marks.queue.front().put_before < end) {
      const StreamMark& mark = marks.queue.front();
      const std::size_t at = OffsetOf(split, mark);
      Iota(out + row, at - row, split.next_index);
      split.next_index += at - row;
      row = at;
      split.next_index = mark.index;
      if (mark.new_settings) ChangeSettingsAt(split, row, mark);
      marks.queue.pop_front();
    }
    marks.count.store(marks.queue.size(), std::memory_order_release);
  }
  Iota(out + row, k - row, split.next_index);
  split.next_index += k - row;
  split.taken = end;
}

std::size_t PlanAveraging(Device* device, std::uint64_t buffered, std::uint64_t times,
                          std::size_t max_outputs, AveragingPlan* plan) {
  SplitPosition& split = device->split;
  std::vector<StreamMark>& ahead = split.marks_ahead;
  MarksAhead(device, buffered, &ahead);
  if (plan != nullptr) plan->windows.clear();
  std::size_t made = 0;
  std::uint64_t consumed = 0;
  std::uint64_t index = split.next_index;
  std::uint64_t run_start = 0;
  std::size_t settings_row = 0;
  for (std::size_t m = 0; m <= ahead.size() && made < max_outputs; ++m) {
    // A run: groups of consecutive indices and one setting, up to the next
    // mark or to what is buffered.
    const std::uint64_t run_end = m < ahead.size() ? OffsetOf(split, ahead[m]) : buffered;
    const std::uint64_t first = run_start + (times - index % times) % times;
    if (first + times <= run_end) {
      const std::uint64_t whole = std::min<std::uint64_t>((run_end - first) / times, max_outputs - made);
      for (std::uint64_t w = 0; plan != nullptr && w < whole; ++w) {
        const std::uint64_t at = first + w * times;
        plan->windows.push_back(AveragingWindow{at, index + (at - run_start), settings_row});
      }
      made += static_cast<std::size_t>(whole);
      if (whole > 0) consumed = first + whole * times;
    }
    if (m == ahead.size()) break;
    index = ahead[m].index;
    run_start = run_end;
    if (ahead[m].new_settings) ++settings_row;
  }
  if (plan != nullptr) {
    plan->consumed = consumed;
    plan->dropped = consumed - static_cast<std::uint64_t>(made) * times;
  }
  return made;
}

void PositionAveragedSplit(Device* device, const AveragingPlan& plan) {
  SplitPosition& split = device->split;
  const std::vector<StreamMark>& ahead = split.marks_ahead;
  split.indices.Clear();
  std::uint64_t* out = split.indices.Extend(plan.windows.size());
  StartRows(split);
  std::size_t settings_row = 0;
  std::size_t m = 0;
  for (std::size_t w = 0; w < plan.windows.size(); ++w) {
    const AveragingWindow& window = plan.windows[w];
    for (; settings_row < window.settings_row; ++settings_row) {
      while (!ahead[m].new_settings) ++m;
      ChangeSettingsAt(split, w, ahead[m++]);
    }
    out[w] = window.index;
  }
  // The view after the last group taken: past every mark before it.
  for (const StreamMark& mark : ahead) {
    if (OffsetOf(split, mark) >= plan.consumed) break;
    Pass(split, mark);
  }
  if (!plan.windows.empty()) {
    const AveragingWindow& last = plan.windows.back();
    split.next_index = last.index + (plan.consumed - last.first);
  }
  DropMarksBefore(device, split.taken + plan.consumed);
  split.taken += plan.consumed;
  split.averaging_dropped.fetch_add(plan.dropped, std::memory_order_relaxed);
}

}  // namespace kr2270
