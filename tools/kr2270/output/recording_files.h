// The files of a recording, as the library names them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kr2270c.h"

namespace kr2270::tool {

// The open (or last) recording's first file (which = 0), the file being
// written (1) or its sidecar (2), as KR2270_DFWGetFileName gives it; throws
// when no recording was opened.
std::string RecordingFileName(KR2270Device* device, int which);

struct WrittenFile {
  std::string path;
  std::uintmax_t bytes = 0;
};

// Makes the directory when missing; throws with a clear line when it cannot
// be used for writing.
void PrepareRecordingDirectory(const std::string& dir);
// Creates DIR (and its parents) when needed; fails naming `option` when it
// cannot be made or written to.
void PrepareOutputDirectory(const std::string& dir, const std::string& option);

}  // namespace kr2270::tool

namespace kr2270::tool {

// The header at the start of every recording file the library writes
// (format version 1); version 0 files have the shorter one.
inline constexpr std::int64_t kRecordingHeaderBytes = 318;
inline constexpr std::int64_t kRecordingHeaderBytesV0 = 310;

bool IsFirstRecordingFile(const std::string& path);  // ..._1.dat

// The files of a recording chain, first one first: X_1.dat, X_2.dat, ...
std::vector<std::string> RecordingChain(const std::string& first_file);

// The chain's files and the sidecar, with their sizes.
std::vector<WrittenFile> FilesOfRecording(const std::string& first_file,
                                          const std::string& sidecar);

struct RecordingOnDisk {
  std::int64_t bytes = 0;       // all files, headers included
  std::int64_t data_bytes = 0;  // the data regions joined
  std::int64_t groups = 0;      // whole groups in them
  std::int64_t partial_bytes = 0;  // bytes of a last group cut short
};

RecordingOnDisk MeasureRecording(const std::string& first_file, int group_bytes);

}  // namespace kr2270::tool
