// Playback: a recording's groups go into the stream ring from the caller's
// thread, and from there through the splitter as live data would.
#include <algorithm>
#include <limits>
#include <new>

#include "acquisition/acquisition.h"
#include "acquisition/group_layout.h"
#include "config/checks.h"
#include "device/export.h"
#include "device/lifecycle.h"
#include "recording/reader.h"
#include "recording/recording.h"

namespace kr2270 {
namespace {

// Reads are published to the ring in chunks of about this size.
constexpr std::int64_t kChunkBytes = std::int64_t{1} << 20;
constexpr std::int64_t kContinue = -1;

RecordingReader* ReaderOf(Device* device) { return device != nullptr ? device->reader : nullptr; }

bool HasCommandConnection(Device* device) {
  std::lock_guard<std::mutex> hold(device->cmd.lock);
  return device->cmd.socket != platform::kNoSocket;
}

// The first group of a read: the start truncated, or where the last read
// stopped for -1. Anything else negative, or out of range, is refused.
bool StartGroup(const RecordingReader& reader, double start, std::int64_t* group) {
  std::int64_t whole = 0;
  if (!TruncateToInt64(start, &whole) || whole < kContinue) return false;
  *group = whole == kContinue ? reader.next_group : whole;
  return true;
}

// Whole groups in the recording; none when the header enables no channel.
std::int64_t GroupTotal(const RecordingReader& reader, std::int32_t group_size) {
  return group_size > 0 ? reader.total_bytes / group_size : 0;
}

void Store(std::int32_t* destination, std::int64_t value) {
  if (destination != nullptr) *destination = static_cast<std::int32_t>(value);
}

// Reads straight into the ring's free space from its write position on: the
// producer side of FifoPut without the copy through a buffer. The caller has
// made sure that `length` bytes are free.
std::int64_t ReadIntoRing(RecordingReader* reader, StreamFifo& ring, std::int64_t length,
                          std::int64_t position) {
  const std::uint32_t at = ring.in.load(std::memory_order_relaxed) & (ring.size - 1);
  const std::int64_t first = std::min<std::int64_t>(length, ring.size - at);
  std::int64_t got = ReadRecordingBytes(reader, ring.buffer + at, first, position);
  if (got == first && length > first) {
    got += ReadRecordingBytes(reader, ring.buffer, length - first, position + first);
  }
  return got;
}

void PublishToRing(StreamFifo& ring, std::int64_t bytes) {
  const std::uint32_t in = ring.in.load(std::memory_order_relaxed);
  ring.in.store(in + static_cast<std::uint32_t>(bytes), std::memory_order_release);
}

// Puts `count` groups from group index `first` into the ring, which has room
// for them, a chunk at a time; returns the groups put (fewer only when the
// files gave out). Bytes of a group cut short stay unpublished.
std::int64_t CopyGroups(Device* device, RecordingReader* reader, std::int64_t first,
                        std::int64_t count, std::int32_t group_size) {
  const std::int64_t chunk_groups = std::max<std::int64_t>(1, kChunkBytes / group_size);
  std::int64_t played = 0;
  while (played < count) {
    const std::int64_t wanted = std::min(chunk_groups, count - played) * group_size;
    const std::int64_t got =
        ReadIntoRing(reader, device->stream_fifo, wanted, (first + played) * group_size);
    const std::int64_t groups = got / group_size;
    PublishToRing(device->stream_fifo, groups * group_size);
    played += groups;
    if (got < wanted) break;
  }
  return played;
}

// The groups go piece by piece, each between two places where the index
// jumps or the settings change, with a mark for the splitter where one
// does. Returns the groups put.
std::int64_t PlayGroups(Device* device, RecordingReader* reader, std::int64_t first,
                        std::int64_t count, std::int32_t group_size) {
  std::int64_t played = 0;
  while (played < count) {
    const TimelinePiece piece = PieceAt(*reader, static_cast<std::uint64_t>(first + played),
                                        static_cast<std::uint64_t>(count - played));
    // Marks full: the splitter must catch up before more is read.
    if (!MarkNextGroups(device, piece.index, piece.settings_number, *piece.settings)) break;
    const auto wanted = static_cast<std::int64_t>(piece.groups);
    const std::int64_t put = CopyGroups(device, reader, first + played, wanted, group_size);
    CountPutGroups(device, piece.index, piece.settings_number, static_cast<std::uint64_t>(put));
    played += put;
    if (put < wanted) break;
  }
  return played;
}

// The recording's header becomes both the handle's settings (for the DFRGet
// exports and the conversions) and the meaning of the ring's bytes.
std::int32_t AttachReader(Device* device, const std::string& path) {
  ReleaseReader(device);
  auto* reader = new (std::nothrow) RecordingReader();
  if (reader == nullptr) return KR2270_ERROR_ARGUMENT;
  device->reader = reader;
  Settings loaded = CopyOfSettings(device);
  const std::int32_t status = OpenRecording(reader, &loaded, path);
  MirrorSettings(device, [&](Settings& s) { s = loaded; });
  // Groups still buffered belong to another layout: they go.
  FifoReset(device->stream_fifo);
  device->stream_settings = loaded;
  ResetStreamPositions(device, loaded);
  return std::min(status, 0);
}

// Playback and acquisition never fill the ring at once: the open and every
// read are refused while streaming, and hold data_lock against a start.
std::int32_t DFROpen(Device* device, const char* path, std::int32_t length) {
  if (device == nullptr || path == nullptr || length < 0) return KR2270_ERROR_ARGUMENT;
  if (HasCommandConnection(device)) return KR2270_ERROR_ARGUMENT;
  const std::string text = PathText(path, length);
  return UnlessStreaming(device, [&] { return AttachReader(device, text); });
}

std::int32_t DFRClose(Device* device) {
  // No reader is attached while streaming, so this never waits on a receive.
  if (ReaderOf(device) == nullptr) return KR2270_ERROR_ARGUMENT;
  std::lock_guard<std::mutex> hold(device->data_lock);
  ReleaseReader(device);
  return KR2270_OK;
}

std::int32_t ReadIntoStream(Device* device, RecordingReader* reader, std::int64_t first,
                            std::int32_t count, std::int32_t* groups_read) {
  const std::int32_t group_size = GroupSize(device->stream_settings);
  const std::int64_t total = GroupTotal(*reader, group_size);
  if (total > 0 && first > total) reader->reader_status = KR2270_ERROR_FILE_READ;
  if (first >= total) {
    Store(groups_read, 0);
    return reader->reader_status;
  }
  // An empty ring starts over at its beginning, so that a read-and-split loop
  // keeps reusing the same cached bytes instead of walking all 32 MiB. Safe:
  // no receiver runs, and the split shares this caller's thread. Not while
  // a trigger keeps groups in it.
  if (FifoEmpty(device->stream_fifo)) FifoReset(device->stream_fifo);
  // Only whole groups that the ring can take are read, so every group
  // reported is a group delivered.
  const std::int64_t room = FifoFree(device->stream_fifo) / static_cast<std::uint32_t>(group_size);
  const std::int64_t wanted = std::min({std::int64_t{count}, total - first, room});
  const std::int64_t played = PlayGroups(device, reader, first, wanted, group_size);
  reader->next_group = first + played;
  Store(groups_read, played);
  return reader->reader_status;
}

std::int32_t DFRRead(Device* device, double start, std::int32_t count, std::int32_t* groups_read) {
  RecordingReader* reader = ReaderOf(device);
  std::int64_t first = 0;
  if (reader == nullptr || !StartGroup(*reader, start, &first)) return KR2270_ERROR_ARGUMENT;
  if (count <= 0) return KR2270_OK;
  return UnlessStreaming(device,
                         [&] { return ReadIntoStream(device, reader, first, count, groups_read); });
}

double DurationOf(std::int64_t groups, double rate) {
  if (rate > 0.0) return static_cast<double>(groups) / rate;
  return groups > 0 ? std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::quiet_NaN();
}

std::int32_t DFRGetGroupTotal(Device* device, double* groups, double* seconds) {
  const RecordingReader* reader = ReaderOf(device);
  if (reader == nullptr) return KR2270_ERROR_ARGUMENT;
  if (groups != nullptr) {
    const std::int64_t total = GroupTotal(*reader, GroupSize(device->stream_settings));
    *groups = static_cast<double>(total);
    if (seconds != nullptr) {
      *seconds = DurationOf(total, SampleRateOfCode(device->stream_settings.rate_code));
    }
  }
  return reader->reader_status;
}

std::int32_t DFRGetFreq(Device* device, double* rate) {
  if (ReaderOf(device) == nullptr) return KR2270_ERROR_ARGUMENT;
  if (rate == nullptr) return KR2270_OK;
  *rate = SampleRateOfCode(device->stream_settings.rate_code);
  return *rate == 0.0 ? KR2270_ERROR_ARGUMENT : KR2270_OK;
}

std::uint64_t CopyOfPositioned(std::uint64_t from, std::uint64_t offset, KR2270GapRecord* out,
                               std::size_t max, const std::vector<KR2270GapRecord>& gaps) {
  std::size_t n = 0;
  for (const KR2270GapRecord& gap : gaps) {
    if (n == max) break;
    if (gap.number < from || gap.position < offset) continue;
    out[n] = gap;
    out[n].position -= offset;
    ++n;
  }
  return n;
}

std::int32_t DFRGetGaps(Device* device, std::uint64_t from, KR2270GapRecord* gaps,
                        std::int32_t max, std::uint64_t* total) {
  const RecordingReader* reader = ReaderOf(device);
  if (reader == nullptr || max < 0 || (max > 0 && gaps == nullptr)) return KR2270_ERROR_ARGUMENT;
  if (total != nullptr) *total = reader->timeline.gaps.size();
  return static_cast<std::int32_t>(CopyOfPositioned(from, reader->position_offset, gaps,
                                                    static_cast<std::size_t>(max),
                                                    reader->timeline.gaps));
}

// The entries from the one in force at the chain's first group on; positions
// count from there.
std::int32_t DFRGetSettings(Device* device, std::uint64_t from, KR2270ConversionSettings* out,
                            std::int32_t max, std::uint64_t* total) {
  const RecordingReader* reader = ReaderOf(device);
  if (reader == nullptr || max < 0 || (max > 0 && out == nullptr)) return KR2270_ERROR_ARGUMENT;
  const std::vector<KR2270ConversionSettings>& all = reader->timeline.settings;
  if (total != nullptr) *total = all.size();
  std::size_t n = 0;
  for (std::size_t i = 0; i < all.size() && n < static_cast<std::size_t>(max); ++i) {
    const bool superseded = i + 1 < all.size() && all[i + 1].position <= reader->position_offset;
    if (all[i].number < from || superseded) continue;
    out[n] = all[i];
    out[n].position = all[i].position > reader->position_offset
                          ? all[i].position - reader->position_offset : 0;
    ++n;
  }
  return static_cast<std::int32_t>(n);
}

std::int32_t DFRGetTimeline(Device* device, KR2270Timeline* timeline) {
  if (ReaderOf(device) == nullptr) return KR2270_ERROR_ARGUMENT;
  return KR2270_HcGetTimeline(device, timeline);
}

}  // namespace

void RecordedTimeline(Device* device, KR2270Timeline* out) {
  const RecordingReader& reader = *device->reader;
  const RecordingTimeline& t = reader.timeline;
  const std::int32_t group_size = GroupSize(device->stream_settings);
  const auto groups = static_cast<std::uint64_t>(GroupTotal(reader, group_size));
  out->source = reader.timeline_source;
  out->start_unix_ns = t.start_unix_ns;
  out->group_rate = t.group_rate;
  out->complete = t.complete ? 1 : 0;
  out->groups = groups;
  if (t.settings.empty()) return;  // nothing could be read
  out->first_index = PieceAt(reader, 0, 1).index;
  out->next_index = groups > 0 ? PieceAt(reader, groups - 1, 1).index + 1 : out->first_index;
  for (const KR2270GapRecord& gap : t.gaps) {
    if (gap.position < reader.position_offset) continue;
    ++out->gaps;
    out->missing_groups += gap.missing;
  }
  out->settings = t.settings.size();
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_DFRGetTimeline(KR2270Device* device, KR2270Timeline* timeline) {
  return kr2270::Guarded([&] { return kr2270::DFRGetTimeline(device, timeline); });
}

KR2270_EXPORT int32_t KR2270_DFRGetGaps(KR2270Device* device, uint64_t first_number,
                                        KR2270GapRecord* gaps, int32_t max_gaps, uint64_t* total) {
  return kr2270::Guarded(
      [&] { return kr2270::DFRGetGaps(device, first_number, gaps, max_gaps, total); });
}

KR2270_EXPORT int32_t KR2270_DFRGetSettings(KR2270Device* device, uint64_t first_number,
                                            KR2270ConversionSettings* settings,
                                            int32_t max_settings, uint64_t* total) {
  return kr2270::Guarded(
      [&] { return kr2270::DFRGetSettings(device, first_number, settings, max_settings, total); });
}

KR2270_EXPORT int32_t KR2270_DFROpen(KR2270Device* device, const char* path, int32_t path_length) {
  return kr2270::Guarded([&] { return kr2270::DFROpen(device, path, path_length); });
}

KR2270_EXPORT int32_t KR2270_DFRClose(KR2270Device* device) {
  return kr2270::Guarded([&] { return kr2270::DFRClose(device); });
}

KR2270_EXPORT int32_t KR2270_DFRRead(KR2270Device* device, double start, int32_t count,
                                     int32_t* groups_read) {
  return kr2270::Guarded([&] { return kr2270::DFRRead(device, start, count, groups_read); });
}

KR2270_EXPORT int32_t KR2270_DFRGetGroupTotal(KR2270Device* device, double* groups,
                                              double* seconds) {
  return kr2270::Guarded([&] { return kr2270::DFRGetGroupTotal(device, groups, seconds); });
}

KR2270_EXPORT int32_t KR2270_DFRGetFreq(KR2270Device* device, double* rate) {
  return kr2270::Guarded([&] { return kr2270::DFRGetFreq(device, rate); });
}
