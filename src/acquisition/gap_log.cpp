#include "acquisition/gap_log.h"

namespace kr2270 {
namespace {

KR2270Gap* NewestGap(GapLog& log) {
  if (log.total == 0) return nullptr;
  if (log.latest.empty()) return &log.first.back();
  const std::size_t newest = (log.latest_next + log.latest.size() - 1) % log.latest.size();
  return &log.latest[newest];
}

void Append(GapLog& log, const KR2270Gap& gap) {
  ++log.total;
  if (log.first.size() < kKeptGaps) {
    log.first.push_back(gap);
  } else if (log.latest.size() < kKeptGaps) {
    log.latest.push_back(gap);
  } else {
    log.latest[log.latest_next] = gap;
    log.latest_next = (log.latest_next + 1) % kKeptGaps;
  }
}

}  // namespace

void RecordGap(GapLog& log, std::uint64_t group_index, std::uint64_t missing,
               std::int32_t cause, bool estimated) {
  std::lock_guard<std::mutex> hold(log.lock);
  KR2270Gap* newest = NewestGap(log);
  if (newest != nullptr && newest->group_index == group_index && newest->cause == cause) {
    newest->missing_groups += missing;
    newest->estimated |= estimated ? 1 : 0;
    return;
  }
  Append(log, KR2270Gap{group_index, missing, cause, estimated ? 1 : 0});
}

void ClearGaps(GapLog& log) {
  std::lock_guard<std::mutex> hold(log.lock);
  log.first.clear();
  log.latest.clear();
  log.latest_next = 0;
  log.total = 0;
}

std::vector<KR2270Gap> KeptGaps(GapLog& log, std::uint64_t* total) {
  std::lock_guard<std::mutex> hold(log.lock);
  *total = log.total;
  std::vector<KR2270Gap> kept(log.first);
  kept.reserve(log.first.size() + log.latest.size());
  const std::size_t n = log.latest.size();
  for (std::size_t i = 0; i < n; ++i) kept.push_back(log.latest[(log.latest_next + i) % n]);
  return kept;
}

}  // namespace kr2270
