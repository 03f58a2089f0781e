#include "app/tool.h"

namespace kr2270::tool {

void FailUsage(const std::string& message) { throw ToolError{message, kExitUsage}; }

void Fail(const std::string& message) { throw ToolError{message, kExitFailure}; }

std::string StatusMessage(std::int32_t status) {
  return "status " + std::to_string(status) + " (" + KR2270_StatusText(status) + ")";
}

std::int32_t Check(std::int32_t status, const std::string& what) {
  if (status < 0) Fail(what + ": " + StatusMessage(status));
  return status;
}

void DeviceCloser::operator()(KR2270Device* device) const {
  // Callers own the reader and the command connection; both calls do nothing
  // harmful when there is nothing to close.
  KR2270_DFRClose(device);
  KR2270_CmdClose(device);
  KR2270_DeviceClose(device);
}

DeviceHandle CreateDevice() {
  DeviceHandle device(KR2270_DeviceCreate());
  if (!device) Fail("cannot create a device handle (out of memory)");
  return device;
}

}  // namespace kr2270::tool
