// Runs test code in a child process whose files may not grow beyond a size,
// the way a full disk looks to the library.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kr2270::test {

// False where the system has no per-process file size limit (Windows).
bool CanLimitFileSize();
// Runs body in a forked child limited to limit_bytes per file and hands back
// what body returned. False when the child could not run or report.
bool RunWithFileSizeLimit(std::int64_t limit_bytes, const std::function<std::string()>& body,
                          std::string* result);

}  // namespace kr2270::test
