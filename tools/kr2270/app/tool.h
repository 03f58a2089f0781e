// Shared pieces of the kr2270 command-line tool: its error record, the
// status-code check and the device handle. The tool reaches the driver
// through the public C API only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kr2270c.h"

namespace kr2270::tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitDataLost = 3;

// Thrown for anything that ends a subcommand; main prints `message` as one
// line and exits with `exit_code`.
struct ToolError {
  std::string message;
  int exit_code = kExitFailure;
};

[[noreturn]] void FailUsage(const std::string& message);
[[noreturn]] void Fail(const std::string& message);

// "status -101 (connection not established, or bad address)"
std::string StatusMessage(std::int32_t status);

// Throws "<what>: status N (text)" for a negative status; returns it otherwise.
std::int32_t Check(std::int32_t status, const std::string& what);

struct DeviceCloser {
  void operator()(KR2270Device* device) const;
};
using DeviceHandle = std::unique_ptr<KR2270Device, DeviceCloser>;

DeviceHandle CreateDevice();

}  // namespace kr2270::tool
