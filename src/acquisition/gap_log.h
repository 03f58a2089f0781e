// The gaps of one acquisition run, numbered in order: the first kKeptGaps
// and the newest kLatestGaps are kept, the ones between only counted, so
// that a stream that runs for days with a slow consumer keeps a fixed amount
// of memory while a reader that comes back once per few thousand gaps reads
// every one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "acquisition/numbered_log.h"
#include "kr2270c.h"

namespace kr2270 {

inline constexpr std::size_t kKeptGaps = 1000;
inline constexpr std::size_t kLatestGaps = 4096;

struct GapLog {
  std::mutex lock;
  NumberedLog<KR2270GapRecord, kKeptGaps, kLatestGaps> log;
  std::uint64_t missing = 0;  // groups missing in all of them
};

// Records that the groups of indices index .. index + missing - 1 are missing,
// `position` groups after the run's first in the data that lacks them. One
// that continues the newest gap of the same cause, with no group between,
// lengthens it instead.
void RecordGap(GapLog& log, std::uint64_t index, std::uint64_t missing, std::uint64_t position,
               std::int32_t cause, bool estimated);
void ClearGaps(GapLog& log);
// For KR2270_HcGetGaps: the first kKeptGaps and the newest kKeptGaps, oldest
// first, with *total the number recorded.
std::vector<KR2270GapRecord> KeptGaps(GapLog& log, std::uint64_t* total);

}  // namespace kr2270
