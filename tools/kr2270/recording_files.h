// Finding the files a recording wrote: the library names them from the local
// time, so the tool compares the directory before and after.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kr2270::tool {

using DirectorySnapshot = std::map<std::string, std::filesystem::file_time_type>;

struct WrittenFile {
  std::string path;
  std::uintmax_t bytes = 0;
};

// Makes the directory when missing; throws with a clear line when it cannot
// be used for writing.
void PrepareRecordingDirectory(const std::string& dir);

DirectorySnapshot SnapshotRecordings(const std::string& dir);

// .dat files that are new or were written since `before`, in name order.
std::vector<WrittenFile> WrittenSince(const std::string& dir, const DirectorySnapshot& before);

}  // namespace kr2270::tool
