#include "recording_files.h"

#include "console.h"
#include "tool.h"

namespace fs = std::filesystem;

namespace kr2270::tool {
namespace {

bool IsRecordingFile(const fs::directory_entry& entry) {
  return entry.is_regular_file() && entry.path().extension() == ".dat";
}

}  // namespace

void PrepareRecordingDirectory(const std::string& dir) {
  std::error_code error;
  fs::create_directories(dir, error);
  if (!fs::is_directory(dir)) Fail("--record: cannot create directory " + dir);
  if (!IsWritableDirectory(dir)) Fail("--record: directory " + dir + " is not writable");
}

DirectorySnapshot SnapshotRecordings(const std::string& dir) {
  DirectorySnapshot snapshot;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error))
    if (IsRecordingFile(entry)) snapshot[entry.path().string()] = entry.last_write_time();
  return snapshot;
}

std::vector<WrittenFile> WrittenSince(const std::string& dir, const DirectorySnapshot& before) {
  std::vector<WrittenFile> written;
  for (const auto& [path, time] : SnapshotRecordings(dir)) {
    const auto old = before.find(path);
    if (old != before.end() && old->second == time) continue;
    std::error_code error;
    written.push_back({path, fs::file_size(path, error)});
  }
  return written;
}

}  // namespace kr2270::tool
