#include "acquisition/gap_log.h"

namespace kr2270 {

void RecordGap(GapLog& gaps, std::uint64_t index, std::uint64_t missing, std::uint64_t position,
               std::int32_t cause, bool estimated) {
  std::lock_guard<std::mutex> hold(gaps.lock);
  gaps.missing += missing;
  KR2270GapRecord* newest = gaps.log.Newest();
  if (newest != nullptr && newest->cause == cause && newest->position == position &&
      newest->index + newest->missing == index) {
    newest->missing += missing;
    newest->estimated |= estimated ? 1 : 0;
    return;
  }
  KR2270GapRecord gap{};
  gap.index = index;
  gap.missing = missing;
  gap.position = position;
  gap.cause = cause;
  gap.estimated = estimated ? 1 : 0;
  gaps.log.Append(gap);
}

void ClearGaps(GapLog& gaps) {
  std::lock_guard<std::mutex> hold(gaps.lock);
  gaps.log.Clear();
  gaps.missing = 0;
}

std::vector<KR2270GapRecord> KeptGaps(GapLog& gaps, std::uint64_t* total) {
  std::lock_guard<std::mutex> hold(gaps.lock);
  const auto& log = gaps.log;
  *total = log.total;
  std::vector<KR2270GapRecord> kept(log.first);
  const std::size_t newest = std::min(log.latest.size(), kKeptGaps);
  for (std::size_t i = log.latest.size() - newest; i < log.latest.size(); ++i) {
    kept.push_back(log.Latest(i));
  }
  return kept;
}

}  // namespace kr2270
