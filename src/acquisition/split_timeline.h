// The splitter's side of the timeline (see timeline.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/device.h"

namespace kr2270 {

// The last split took nothing: no rows, the settings in force.
void ClearSplitRows(Device* device);
// Indices and settings rows for the k plain groups taken next; takes the
// splitter past the marks among them.
void PositionPlainSplit(Device* device, std::size_t k);
// The whole windows of `times` groups among the `buffered` groups, at most
// max_outputs: aligned to the index (output k = indices kF .. kF + F - 1),
// none across a mark. Returns how many; fills *plan when given.
std::size_t PlanAveraging(Device* device, std::uint64_t buffered, std::uint64_t times,
                          std::size_t max_outputs, AveragingPlan* plan);
// After a plan's groups were taken: indices, rows, marks, the dropped count.
void PositionAveragedSplit(Device* device, const AveragingPlan& plan);

}  // namespace kr2270
