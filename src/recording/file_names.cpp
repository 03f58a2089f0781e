#include <charconv>
#include <cstring>
#include <limits>

#include "kr2270c.h"
#include "platform/platform.h"
#include "recording/recording.h"
#include "recording/sidecar.h"

namespace kr2270 {
namespace {

// Where the chain number of a path starts: after the last "_" of its file
// name. A "_" in a directory name does not count.
std::size_t ChainNumberAt(const std::string& path) {
  const std::size_t underscore = path.rfind('_');
  if (underscore == std::string::npos) return std::string::npos;
  for (std::size_t i = underscore + 1; i < path.size(); ++i) {
    if (platform::IsPathSeparator(path[i])) return std::string::npos;
  }
  return underscore + 1;
}

bool ParseChainNumber(const std::string& path, std::size_t at, std::int64_t* number) {
  const char* first = path.data() + at;
  const char* last = path.data() + path.size();
  if (first == last || *first < '0' || *first > '9') return false;
  const auto parsed = std::from_chars(first, last, *number);
  return parsed.ec == std::errc();
}

}  // namespace

bool NextRecordingFileName(std::string* path, std::int32_t* status) {
  const std::size_t at = ChainNumberAt(*path);
  std::int64_t number = 0;
  if (at == std::string::npos || !ParseChainNumber(*path, at, &number) ||
      number == std::numeric_limits<std::int64_t>::max()) {
    if (status != nullptr) *status = KR2270_ERROR_FILE;
    return false;
  }
  path->replace(at, std::string::npos, std::to_string(number + 1) + ".dat");
  return true;
}

std::string SidecarPathOf(const std::string& recording_file) {
  const std::size_t at = ChainNumberAt(recording_file);
  if (at == std::string::npos) return recording_file + ".json";
  return recording_file.substr(0, at) + "1.json";
}

std::string FileNameOf(const std::string& path) {
  std::size_t start = path.size();
  while (start > 0 && !platform::IsPathSeparator(path[start - 1])) --start;
  return path.substr(start);
}

std::string PathText(const char* text, std::int32_t length) {
  if (length == 0) return text;
  return std::string(text, strnlen(text, static_cast<std::size_t>(length)));
}

}  // namespace kr2270
