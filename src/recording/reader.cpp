#include "recording/reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "device/lifecycle.h"
#include "kr2270c.h"
#include "platform/platform.h"
#include "acquisition/group_layout.h"
#include "acquisition/timeline.h"
#include "recording/recording.h"
#include "recording/sidecar.h"

namespace kr2270 {
namespace {

constexpr std::size_t kMaxErrorText = 255;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kCacheLine = 64;
constexpr std::size_t kBounceBytes = std::size_t{256} << 10;

std::int32_t Fail(RecordingReader* reader, std::int32_t status) {
  reader->reader_status = status;
  return status;
}

void CloseReaderFile(RecordingReader* reader) {
  if (reader->reader_file != nullptr) std::fclose(reader->reader_file);
  reader->reader_file = nullptr;
  reader->file_offset = -1;
}

// The length of a file of the chain, or -1 when it is missing or starts with
// a different magic or version (a file of another recording). An empty file,
// left by a rotation just before the close, belongs to the chain.
std::int64_t ChainFileLength(const std::string& path, const std::uint8_t* identity) {
  // Anything but a regular file (a FIFO, a directory) ends the chain.
  std::FILE* file = platform::OpenRegularFile(path.c_str()).file;
  if (file == nullptr) return -1;
  std::uint8_t start[kHeaderIdentityBytes];
  const std::size_t got = std::fread(start, 1, sizeof start, file);
  std::int64_t length = -1;
  if (std::memcmp(start, identity, got) == 0) length = platform::FileSize(file);
  std::fclose(file);
  return length;
}

void ScanRecordingChain(RecordingReader* reader, const std::string& path,
                        const std::uint8_t* identity) {
  std::string name = path;
  std::int64_t total = 0;
  reader->data_starts.push_back(0);
  do {
    const std::int64_t length = ChainFileLength(name, identity);
    if (length < 0) break;
    const std::int64_t data = std::max<std::int64_t>(0, length - reader->header_size);
    // Sparse files can claim any size: a total past 64 bits ends the chain.
    if (data > std::numeric_limits<std::int64_t>::max() - total) break;
    reader->chain_paths.push_back(name);
    reader->file_data_sizes.push_back(data);
    total += data;
    reader->data_starts.push_back(total);
  } while (NextRecordingFileName(&name, nullptr));
  reader->total_bytes = total;
}

// The chain index of the file holding data position p (< total_bytes); files
// without data are passed over.
std::size_t FileHolding(const RecordingReader* reader, std::int64_t p) {
  const auto after = std::upper_bound(reader->data_starts.begin(), reader->data_starts.end(), p);
  return static_cast<std::size_t>(after - reader->data_starts.begin()) - 1;
}

bool PositionFile(RecordingReader* reader, std::size_t index, std::int64_t offset) {
  if (reader->reader_file == nullptr || reader->open_index != index) {
    CloseReaderFile(reader);
    reader->reader_file = platform::OpenRegularFile(reader->chain_paths[index].c_str()).file;
    if (reader->reader_file == nullptr) {
      Fail(reader, KR2270_ERROR_FILE);
      return false;
    }
    // Reads are large or positioned: a stream buffer would only add a copy.
    std::setvbuf(reader->reader_file, nullptr, _IONBF, 0);
    reader->open_index = index;
  }
  if (reader->file_offset == offset) return true;
  if (!platform::SeekFile(reader->reader_file, offset)) {
    reader->file_offset = -1;
    Fail(reader, KR2270_ERROR_FILE_SEEK);
    return false;
  }
  reader->file_offset = offset;
  return true;
}

void ReportShortRead(RecordingReader* reader, int error) {
  const bool failed = std::ferror(reader->reader_file) != 0;
  std::clearerr(reader->reader_file);
  reader->file_offset = -1;
  Fail(reader, KR2270_ERROR_FILE_READ);
  const std::string text =
      failed ? platform::ErrorText(error, kMaxErrorText) : std::string("recording file ends early");
  platform::DebugOutput((text + "\n").c_str());
}

// A copy runs several times slower when its destination lies less than a
// cache line past its source's offset within a page (seen on AMD Zen, for the
// kernel's copy out of the page cache and for memcpy alike). Such reads go
// through a buffer half a page away from both the file and the destination.
bool IsSlowCopy(const std::uint8_t* destination, std::int64_t file_offset) {
  const std::uintptr_t ahead =
      (reinterpret_cast<std::uintptr_t>(destination) - static_cast<std::uintptr_t>(file_offset)) %
      kPage;
  return ahead != 0 && ahead < kCacheLine;
}

std::uint8_t* BounceBufferAt(RecordingReader* reader, std::int64_t file_offset) {
  constexpr std::size_t kBufferBytes = kBounceBytes + 2 * kPage;
  if (reader->buffer.size() < kBufferBytes) reader->buffer.resize(kBufferBytes);
  void* start = reader->buffer.data();
  std::size_t space = reader->buffer.size();
  std::align(kPage, kBounceBytes + kPage, start, space);
  return static_cast<std::uint8_t*>(start) +
         (static_cast<std::size_t>(file_offset) + kPage / 2) % kPage;
}

// Reads from the open file at reader->file_offset; returns the bytes read.
std::size_t ReadFromFile(RecordingReader* reader, std::uint8_t* destination, std::size_t length) {
  if (!IsSlowCopy(destination, reader->file_offset)) {
    return std::fread(destination, 1, length, reader->reader_file);
  }
  std::size_t done = 0;
  while (done < length) {
    const std::size_t n = std::min(length - done, kBounceBytes);
    std::uint8_t* bounce =
        BounceBufferAt(reader, reader->file_offset + static_cast<std::int64_t>(done));
    const std::size_t got = std::fread(bounce, 1, n, reader->reader_file);
    std::memcpy(destination + done, bounce, got);
    done += got;
    if (got < n) break;
  }
  return done;
}

constexpr std::size_t kMaxSidecarBytes = std::size_t{256} << 20;

// Without a usable sidecar, the chain alone: index = position, the header's
// settings throughout.
RecordingTimeline ChainTimeline(const RecordingReader* reader, const Settings& header) {
  RecordingTimeline t;
  t.rate_code = header.rate_code;
  t.group_rate = SampleRateOfCode(header.rate_code);
  t.group_bytes = GroupSize(header);
  t.groups = t.group_bytes > 0 ? static_cast<std::uint64_t>(reader->total_bytes / t.group_bytes) : 0;
  t.next_index = t.groups;
  t.settings.push_back(ConversionOf(header));
  return t;
}

// A sidecar belongs to the chain when it describes the same groups and
// lists the chain's first file; *offset receives the groups recorded before
// that file.
bool SidecarFits(const RecordingReader* reader, const Settings& header, const RecordingTimeline& t,
                 std::uint64_t* offset) {
  const std::int32_t group = GroupSize(header);
  if (group <= 0 || t.group_bytes != group || t.rate_code != header.rate_code) return false;
  const std::string first = FileNameOf(reader->chain_paths.front());
  std::int64_t before = 0;
  for (const SidecarFile& file : t.files) {
    if (file.name == first) {
      if (before % group != 0) return false;
      *offset = static_cast<std::uint64_t>(before / group);
      return true;
    }
    before += file.data_bytes;
  }
  return false;
}

void LoadTimeline(RecordingReader* reader, const std::string& path, const Settings& header) {
  const std::string sidecar = SidecarPathOf(path);
  std::string text;
  RecordingTimeline t;
  std::uint64_t offset = 0;
  if (!ReadWholeFile(sidecar, kMaxSidecarBytes, &text)) {
    reader->timeline_source = platform::FileExists(sidecar.c_str()) ? 4 : 3;
    t = ChainTimeline(reader, header);
  } else if (!ParseSidecar(text, &t) || !SidecarFits(reader, header, t, &offset)) {
    reader->timeline_source = 4;
    t = ChainTimeline(reader, header);
  } else {
    reader->timeline_source = 2;
  }
  reader->timeline = std::move(t);
  reader->position_offset = offset;
  reader->settings_in_force.clear();
  for (const KR2270ConversionSettings& entry : reader->timeline.settings) {
    Settings in_force = header;
    ApplyConversion(entry, &in_force);
    reader->settings_in_force.push_back(in_force);
  }
  reader->missing_through.clear();
  std::uint64_t missing = 0;
  for (const KR2270GapRecord& gap : reader->timeline.gaps) {
    missing += gap.missing;
    reader->missing_through.push_back(missing);
  }
}

}  // namespace

TimelinePiece PieceAt(const RecordingReader& reader, std::uint64_t position, std::uint64_t limit) {
  const RecordingTimeline& t = reader.timeline;
  const std::uint64_t at = position + reader.position_offset;
  const auto gap_after = std::upper_bound(
      t.gaps.begin(), t.gaps.end(), at,
      [](std::uint64_t p, const KR2270GapRecord& gap) { return p < gap.position; });
  const auto gaps_before = static_cast<std::size_t>(gap_after - t.gaps.begin());
  const std::uint64_t missing = gaps_before == 0 ? 0 : reader.missing_through[gaps_before - 1];
  const auto settings_after = std::upper_bound(
      t.settings.begin(), t.settings.end(), at,
      [](std::uint64_t p, const KR2270ConversionSettings& s) { return p < s.position; });
  const auto in_force = static_cast<std::size_t>(settings_after - t.settings.begin()) - 1;
  TimelinePiece piece;
  piece.index = t.first_index + at + missing;
  piece.settings_number = in_force;
  piece.settings = &reader.settings_in_force[in_force];
  piece.groups = limit;
  if (gap_after != t.gaps.end()) piece.groups = std::min(piece.groups, gap_after->position - at);
  if (settings_after != t.settings.end()) {
    piece.groups = std::min(piece.groups, settings_after->position - at);
  }
  return piece;
}

std::int32_t OpenRecording(RecordingReader* reader, Settings* settings, const std::string& path) {
  std::FILE* file = platform::OpenRegularFile(path.c_str()).file;
  if (file == nullptr) return Fail(reader, KR2270_ERROR_FILE);
  std::uint8_t header[kHeaderBytes];
  const std::size_t got = std::fread(header, 1, sizeof header, file);
  std::fclose(file);
  if (ParseRecordingHeader(header, got, settings, &reader->header_size) != KR2270_OK) {
    return Fail(reader, KR2270_ERROR_FILE_READ);
  }
  ScanRecordingChain(reader, path, header);
  if (!reader->chain_paths.empty()) LoadTimeline(reader, path, *settings);
  return reader->reader_status;
}

std::int64_t ReadRecordingBytes(RecordingReader* reader, std::uint8_t* destination,
                                std::int64_t length, std::int64_t position) {
  std::int64_t done = 0;
  while (done < length && position < reader->total_bytes) {
    const std::size_t index = FileHolding(reader, position);
    const std::int64_t within = position - reader->data_starts[index];
    if (!PositionFile(reader, index, reader->header_size + within)) break;
    const std::int64_t part = std::min(length - done, reader->file_data_sizes[index] - within);
    const std::size_t got =
        ReadFromFile(reader, destination + done, static_cast<std::size_t>(part));
    const int error = platform::LastFileError();
    const auto got_bytes = static_cast<std::int64_t>(got);
    reader->file_offset += got_bytes;
    done += got_bytes;
    position += got_bytes;
    if (got_bytes < part) {
      ReportShortRead(reader, error);
      break;
    }
  }
  return done;
}

void ReleaseReader(Device* device) {
  if (device->reader == nullptr) return;
  CloseReaderFile(device->reader);
  delete device->reader;
  device->reader = nullptr;
}

}  // namespace kr2270
