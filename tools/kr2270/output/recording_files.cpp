#include "output/recording_files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "system/console.h"
#include "system/system.h"
#include "app/tool.h"

namespace fs = std::filesystem;

namespace kr2270::tool {

std::string RecordingFileName(KR2270Device* device, int which) {
  std::vector<char> path(4096);
  for (;;) {
    const std::int32_t length =
        KR2270_DFWGetFileName(device, which, path.data(), static_cast<std::int32_t>(path.size()));
    if (length >= 0) return std::string(path.data(), static_cast<std::size_t>(length));
    // -1 also means a path longer than the buffer.
    if (length != KR2270_ERROR_ARGUMENT || path.size() >= (std::size_t{1} << 16))
      Check(length, "naming the recording's files");
    path.resize(path.size() * 4);
  }
}

void PrepareOutputDirectory(const std::string& dir, const std::string& option) {
  std::error_code error;
  fs::create_directories(Utf8Path(dir), error);
  if (!fs::is_directory(Utf8Path(dir), error)) Fail(option + ": cannot create directory " + dir);
  if (!IsWritableDirectory(dir)) Fail(option + ": directory " + dir + " is not writable");
}

void PrepareRecordingDirectory(const std::string& dir) { PrepareOutputDirectory(dir, "--record"); }

}  // namespace kr2270::tool

namespace kr2270::tool {
namespace {

// Byte 4 of a header is the format version; the header size follows.
std::int64_t HeaderBytesOf(const std::string& path) {
  std::ifstream in(Utf8Path(path), std::ios::binary);
  char magic[5] = {};
  if (!in.read(magic, sizeof magic)) return kRecordingHeaderBytes;
  return magic[4] == 0 ? kRecordingHeaderBytesV0 : kRecordingHeaderBytes;
}

}  // namespace

bool IsFirstRecordingFile(const std::string& path) {
  const std::string suffix = "_1.dat";
  return path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> RecordingChain(const std::string& first_file) {
  std::vector<std::string> chain;
  const auto underscore = first_file.rfind('_');
  if (underscore == std::string::npos) return {first_file};
  const std::string stem = first_file.substr(0, underscore + 1);
  for (int n = 1;; ++n) {
    const std::string path = stem + std::to_string(n) + ".dat";
    std::error_code error;
    if (!fs::is_regular_file(Utf8Path(path), error)) break;
    chain.push_back(path);
  }
  return chain;
}

std::vector<WrittenFile> FilesOfRecording(const std::string& first_file,
                                          const std::string& sidecar) {
  std::vector<WrittenFile> files;
  for (const std::string& path : RecordingChain(first_file)) files.push_back({path, 0});
  if (!sidecar.empty()) files.push_back({sidecar, 0});
  for (WrittenFile& file : files) {
    std::error_code error;
    // The path is UTF-8: Windows reads a narrow path in its code page.
    const std::uintmax_t bytes = fs::file_size(Utf8Path(file.path), error);
    file.bytes = error ? 0 : bytes;  // not the all-ones value of the error
  }
  return files;
}

RecordingOnDisk MeasureRecording(const std::string& first_file, int group_bytes) {
  RecordingOnDisk disk;
  for (const std::string& path : RecordingChain(first_file)) {
    std::error_code error;
    const auto bytes = static_cast<std::int64_t>(fs::file_size(Utf8Path(path), error));
    if (error) continue;
    disk.bytes += bytes;
    // A file is empty until its first block, header included, arrives.
    disk.data_bytes += std::max<std::int64_t>(0, bytes - HeaderBytesOf(path));
  }
  if (group_bytes > 0) {
    disk.groups = disk.data_bytes / group_bytes;
    disk.partial_bytes = disk.data_bytes % group_bytes;
  }
  return disk;
}

}  // namespace kr2270::tool
