// The application side of a stream: count, split, fetch every channel and
// convert, as an application does, with the CPU time of those library calls
// kept apart from the bench's own checking of the sequence pattern.
#pragma once

#include <cstdint>
#include <vector>

#include "kr2270c.h"
#include "sim/sequence.h"

namespace kr2270::bench {

// Every item of the stream: eight 4-byte analog codes, the digital word, four
// counters and two encoders (58 bytes, the module's highest load).
sim::StreamLayout FullLayout();
// Sets FullLayout (and rate_code) on a Device that is fed without a module:
// its settings and the run's copy that splits and recording headers follow.
void UseFullLayout(KR2270Device* device, std::int32_t rate_code = 0);
// Tells the module and the Device to stream FullLayout at rate_code with the
// given transfer size. 0 or the first failing status.
std::int32_t ConfigureFullStream(KR2270Device* device, std::int32_t rate_code,
                                 std::int32_t transfer_bytes, std::int32_t timeout_ms);

enum class Check {
  kEveryGroup,  // every item of every group against the pattern
  // The first and last group of each split, each placed in the pattern by
  // its counter 1. A jump (groups dropped at a full ring) is counted as a gap
  // and the count resumes after it.
  kEndsOnly,
};

struct StreamConsumer {
  KR2270Device* device = nullptr;
  sim::StreamLayout layout;
  Check check = Check::kEveryGroup;
  bool convert = true;
  std::int32_t max_split = 0;
  std::uint64_t next_group = 0;  // pattern index of the next group expected
  std::uint64_t mismatches = 0;  // groups (or split ends) that broke the pattern
  std::uint64_t gaps = 0;        // kEndsOnly: splits with a jump in the pattern
  std::int64_t library_cpu_ns = 0;
  std::int64_t library_calls = 0;
  std::vector<std::int32_t> ad[8];
  std::vector<std::uint16_t> di;
  std::vector<std::uint32_t> ct[4];
  std::vector<std::uint32_t> ec[2];
  std::vector<double> values;
};

void PrepareConsumer(StreamConsumer& consumer, KR2270Device* device, sim::StreamLayout layout,
                     std::int32_t max_split);
// One split of at most max_split buffered groups with its fetches, check and
// conversions. Returns the groups taken (0 when none were buffered).
std::int32_t ConsumeOnce(StreamConsumer& consumer);
// Consumes until nothing is buffered; returns the groups taken.
std::int64_t ConsumeAll(StreamConsumer& consumer);
// Groups among the k fetched (pattern indices first, first + 1, ...) whose
// items differ from the pattern.
std::uint64_t CountPatternMismatches(const StreamConsumer& consumer, std::uint64_t first,
                                     std::int32_t k);

}  // namespace kr2270::bench
