// Live acquisition shared by `acquire` and `demo`: module setup from a plan,
// the split/convert loop with its live status, and the end-of-run figures.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "output/csv.h"
#include "run/stream.h"

namespace kr2270::tool {

// Where the module is, for the recording's metadata.
struct ModuleAddress {
  std::string host;
  int port = 0;
  int data_port = 0;
  bool builtin = false;
};

struct AcquisitionPlan {
  StreamSelection selection;
  std::vector<RangeSetting> ranges;  // as given; see RangesToWrite
  int rate_code = 0;
  int transfer_bytes = 0;
  std::int64_t target = -1;  // outputs to take; -1 = until interrupted
  std::string record_dir;    // empty: no recording
  int reconnect_ms = 0;      // 0: a lost connection ends the run
  ModuleAddress module;
};

// Every output that a run delivered, per channel, for later comparison.
struct GroupStore {
  std::int64_t count = 0;
  std::vector<std::uint64_t> index;
  std::array<std::vector<std::int32_t>, kAnalogChannels> analog;
  std::vector<std::uint16_t> digital;
  std::array<std::vector<std::uint32_t>, kCounters> counters;
  std::array<std::vector<std::uint32_t>, kEncoders> encoders;
};

void AppendToStore(GroupStore& store, const StreamSelection& selection, const GroupBatch& batch);

// Where converted outputs go; any may be null.
struct BatchSinks {
  CsvOutput* csv = nullptr;
  GroupStore* store = nullptr;
  GapReader* gaps = nullptr;  // live runs: the gaps found, read after each split
};

// Takes up to `limit` buffered outputs, converts them and hands them to the
// sinks. Live acquisition and playback both go this way. Returns the count
// taken.
std::int32_t DeliverBuffered(KR2270Device* device, const StreamSelection& selection,
                             std::int32_t limit, GroupBatch& batch, const BatchSinks& sinks);

// Why a run ended.
enum class RunEnd {
  kSpanTaken,        // the requested groups (or, without a span, never)
  kInterrupted,      // Ctrl-C or SIGTERM
  kOutputClosed,     // the reader of the CSV pipe went away
  kStalled,          // the module sent nothing for the stall limit
  kConnectionLost,   // the module closed or reset the data connection
  kLibraryError,     // a library call failed
  kCsvFailed,        // a CSV write failed
  kRecordingFailed,  // the recording stopped (a write failed)
};

const char* RunEndName(RunEnd end);  // "span taken", "interrupted", ...

struct AcquisitionResult {
  std::int64_t outputs = 0;
  std::uint64_t next_index = 0;   // timeline index after the last output taken
  std::uint64_t lost_groups = 0;  // of the requested span only
  bool data_lost = false;
  RunEnd end = RunEnd::kSpanTaken;
  std::string why;  // the cause in the user's words, how far the run got
  double elapsed_s = 0.0;
  std::int64_t recorded_bytes = 0;
  GapReader gaps;                     // every gap of the run
  KR2270Timeline timeline{};          // the library's, at the end of the run
  std::uint64_t link_gap_groups = 0;  // missing in reconnect gaps, of the span
  KR2270Health health{};              // at the end of the run
  std::string recording;              // first file, empty when not recording
  std::string sidecar;                // the recording's sidecar
  std::int64_t recorded_groups = 0;   // as a reader of the recording finds them
};

// 0, 1 (the run failed) or 3 (it ended with groups of the span lost).
int ExitCodeOf(const AcquisitionResult& result);

// Every setting that decides what a group holds and how it converts,
// sent before each run so that conversion never rests on the module's
// remembered state: the ranges given, 10 V for every other analog channel
// in the stream.
std::vector<RangeSetting> RangesToWrite(const StreamSelection& selection,
                                        const std::vector<RangeSetting>& given);

// About 10 ms of stream in whole groups (whole decimation blocks at the
// decimated rates), no more than the 16-bit transfer-size register carries.
int DefaultTransferBytes(int group_bytes, const RateInfo& rate);

int GroupBytes(const StreamSelection& selection);

void ApplyRanges(KR2270Device* device, const std::vector<RangeSetting>& ranges, int timeout_ms);

// Sends the stream enables and code width, the ranges, the counter modes
// (when counters are streamed), rate, transfer size and averaging. The
// library adopted the module's calibration when it was connected.
void ConfigureAcquisition(KR2270Device* device, const AcquisitionPlan& plan, int timeout_ms);

// Lets the library reconnect a dropped stream for plan.reconnect_ms, or not.
void ApplyReconnect(KR2270Device* device, const AcquisitionPlan& plan);

// Starts, takes outputs until the target or until anything else ends the
// run (see RunEnd), and stops; never throws once started. The acquisition
// stops as soon as the target is buffered. With `drain`, every group received
// before the stop is taken as well. Records to plan.record_dir when set, with
// the tool's fields in the library's sidecar beside it.
AcquisitionResult RunAcquisition(KR2270Device* device, const AcquisitionPlan& plan,
                                 int timeout_ms, const BatchSinks& sinks, bool drain);

}  // namespace kr2270::tool
