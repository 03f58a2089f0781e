// Reaching a module: the one named by --host, or a simulated module started
// inside the process when no host is given.
#pragma once

#include <memory>
#include <string>

#include "run/acquisition.h"
#include "system/console.h"
#include "app/tool.h"

namespace CLI {
class App;
}

namespace kr2270::tool {

struct ConnectionOptions {
  std::string host;  // empty: the built-in simulated module
  int port = 0;
  int data_port = 0;
  int timeout_ms = 1000;  // connection attempt and every reply
};

void AddConnectionOptions(CLI::App& command, ConnectionOptions& options);

struct Connection {
  std::unique_ptr<BuiltinModule, BuiltinModuleStop> builtin;  // declared first: outlives the device
  DeviceHandle device;
  std::string host;
  int port = 0;
  int data_port = 0;
  int timeout_ms = 0;
};

// Connects, starting the built-in module first when no host was given (and
// saying so on stderr), and makes one read so that a wrong port or a busy
// module is named here, with a hint, rather than by the first setting.
// Then reads the module's calibration pairs, which the library adopts for
// conversion (KR2270_GetConversionSettings then gives them): volts through
// the host's default pair would be off by up to a thousand codes.
Connection Connect(const ConnectionOptions& options);

std::string DescribeModule(const Connection& connection);

ModuleAddress AddressOf(const Connection& connection);  // "127.0.0.1 (command port P, data port D)"

}  // namespace kr2270::tool
