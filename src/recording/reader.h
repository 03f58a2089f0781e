// Playback state: a recording's chain of files and where reading stands.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "device/device.h"
#include "recording/header.h"
#include "recording/sidecar.h"

namespace kr2270 {

struct RecordingReader {
  // The chain, in order: the opened file and the consecutively numbered files
  // that follow it with the same magic and version.
  std::vector<std::string> chain_paths;
  std::vector<std::int64_t> file_data_sizes;
  // Data position of each file's first data byte; one more entry, the total.
  std::vector<std::int64_t> data_starts;
  std::int64_t total_bytes = 0;
  // Of the first file; every file of the chain carries one of the same size.
  std::int32_t header_size = kHeaderBytes;
  // 0, or the code of the last failure since the open: it stays.
  std::int32_t reader_status = 0;

  std::FILE* reader_file = nullptr;  // at most one file open
  std::size_t open_index = 0;        // chain index of reader_file
  std::int64_t file_offset = -1;     // offset of reader_file; -1 unknown

  std::int64_t next_group = 0;       // where a start of -1 continues
  std::vector<std::uint8_t> buffer;  // for reads the kernel would copy slowly

  // The timeline: the sidecar's, or one made of the chain alone (index =
  // position, the header's settings throughout).
  RecordingTimeline timeline;
  std::int32_t timeline_source = 3;  // as KR2270Timeline.source
  // Sidecar positions count from the recording's first file; the chain may
  // have been opened at a later one.
  std::uint64_t position_offset = 0;
  // The header's settings with each entry's conversion, by entry.
  std::vector<Settings> settings_in_force;
  // Groups missing in the gaps up to and including gap i.
  std::vector<std::uint64_t> missing_through;
};

// A piece of the recording between two places where its timeline changes.
struct TimelinePiece {
  std::uint64_t index = 0;  // of the piece's first group
  std::uint64_t settings_number = 0;
  const Settings* settings = nullptr;
  std::uint64_t groups = 0;  // in the piece, at most as asked
};

// The piece that begins at chain position `position`, at most `limit` groups.
TimelinePiece PieceAt(const RecordingReader& reader, std::uint64_t position, std::uint64_t limit);

// Opens the recording whose first file is `path`: its header replaces
// *settings (only when sound), the chain scan sets the total. Returns
// reader_status.
std::int32_t OpenRecording(RecordingReader* reader, Settings* settings, const std::string& path);

// Reads up to `length` data bytes from data position `position` on, across as
// many files as the span needs. Returns the bytes read; fewer than asked only
// at the end of the recording or after a failure (recorded in reader_status).
std::int64_t ReadRecordingBytes(RecordingReader* reader, std::uint8_t* destination,
                                std::int64_t length, std::int64_t position);

}  // namespace kr2270
