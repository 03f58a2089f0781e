// The sidecar of a recording: a versioned JSON file beside its first file
// (X_1.dat -> X_1.json) that carries what the raw groups cannot: when index
// 0 was, where each gap lies, which settings each group converts with, and
// the application's own fields. docs/recording-format.md describes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kr2270c.h"

namespace kr2270 {

inline constexpr std::int32_t kSidecarVersion = 1;

struct SidecarFile {
  std::string name;  // without the directory
  std::int64_t data_bytes = 0;
};

struct RecordingTimeline {
  std::string recording;  // the first file's name
  std::string library_version;
  bool complete = false;       // closed orderly
  std::int32_t end_status = 0;  // 0, or the failure that stopped it
  std::int64_t start_unix_ns = 0;
  std::int32_t rate_code = 0;
  double group_rate = 0.0;
  std::int32_t group_bytes = 0;
  std::uint64_t first_index = 0;  // of the first recorded group
  std::uint64_t next_index = 0;   // after the last
  std::uint64_t groups = 0;
  std::uint64_t missing = 0;  // in the gaps
  std::vector<SidecarFile> files;
  std::vector<KR2270GapRecord> gaps;
  std::vector<KR2270ConversionSettings> settings;
  std::vector<std::pair<std::string, std::string>> application;  // name, JSON text
};

// X_N.dat -> X_1.json: the sidecar of the recording a file belongs to.
std::string SidecarPathOf(const std::string& recording_file);

std::string SidecarJson(const RecordingTimeline& timeline);
// Strict: false unless the text is a sidecar of this version (or a later
// one that kept these fields) whose fields are all sound and consistent.
bool ParseSidecar(std::string_view text, RecordingTimeline* timeline);

// Replaces the file at path with text as a whole: written beside it under a
// name created exclusively (never through a planted link), then renamed
// over it. False when any step failed; the old file then stays.
bool ReplaceWholeFile(const std::string& path, const std::string& text);
// Reads a regular file of at most max_bytes; false otherwise.
bool ReadWholeFile(const std::string& path, std::size_t max_bytes, std::string* text);

// The names KR2270_DFWSetField accepts.
bool IsFieldName(std::string_view name);

const char* GapCauseText(std::int32_t cause);

}  // namespace kr2270
