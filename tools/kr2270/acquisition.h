// Live acquisition shared by `acquire` and `demo`: module setup from a plan,
// the split/convert loop with its live status, and the end-of-run figures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "csv.h"
#include "stream.h"

namespace kr2270::tool {

struct AcquisitionPlan {
  StreamSelection selection;
  std::vector<RangeSetting> ranges;
  int rate_code = 0;
  int transfer_bytes = 0;
  std::int64_t target = -1;  // outputs to take; -1 = until interrupted
  std::string record_dir;    // empty: no recording
};

// Every output that a run delivered, per channel, for later comparison.
struct GroupStore {
  std::int64_t count = 0;
  std::array<std::vector<std::int32_t>, kAnalogChannels> analog;
  std::vector<std::uint16_t> digital;
  std::array<std::vector<std::uint32_t>, kCounters> counters;
  std::array<std::vector<std::uint32_t>, kEncoders> encoders;
};

void AppendToStore(GroupStore& store, const StreamSelection& selection, const GroupBatch& batch);

// Where converted outputs go; either may be null.
struct BatchSinks {
  CsvOutput* csv = nullptr;
  GroupStore* store = nullptr;
};

// Takes up to `limit` buffered outputs, converts them and hands them to the
// sinks as outputs first_index, first_index + 1, ... Live acquisition and
// playback both go this way. Returns the count taken.
std::int32_t DeliverBuffered(KR2270Device* device, const StreamSelection& selection,
                             std::int32_t limit, std::int64_t first_index, GroupBatch& batch,
                             const BatchSinks& sinks);

struct AcquisitionResult {
  std::int64_t outputs = 0;
  std::uint64_t lost_groups = 0;
  bool data_lost = false;
  bool interrupted = false;
  double elapsed_s = 0.0;
  std::int64_t recorded_bytes = 0;
};

// About 10 ms of stream in whole groups (whole decimation blocks at the
// decimated rates), no more than the 16-bit transfer-size register carries.
int DefaultTransferBytes(int group_bytes, const RateInfo& rate);

int GroupBytes(const StreamSelection& selection);

void ApplyRanges(KR2270Device* device, const std::vector<RangeSetting>& ranges, int timeout_ms);

// Sends the stream enables, ranges, rate, transfer size and averaging, and
// adopts the module's calibration for conversion.
void ConfigureAcquisition(KR2270Device* device, const AcquisitionPlan& plan, int timeout_ms);

// Starts, takes outputs until the target, an interrupt (SIGINT/SIGTERM) or a
// lost connection, and stops. With `drain`, every group received before the
// stop is taken as well. Records to plan.record_dir when set.
AcquisitionResult RunAcquisition(KR2270Device* device, const AcquisitionPlan& plan,
                                 int timeout_ms, const BatchSinks& sinks, bool drain);

}  // namespace kr2270::tool
