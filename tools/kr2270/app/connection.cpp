#include "app/connection.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>

#include "system/console.h"

namespace kr2270::tool {
namespace {

void CheckConnectionOptions(const ConnectionOptions& options) {
  if (options.host.empty()) {
    if (options.port != 0 || options.data_port != 0)
      FailUsage("--port and --data-port need --host (without it the built-in module is used)");
    return;
  }
  if (options.port <= 0 || options.data_port <= 0)
    FailUsage("--host " + options.host + " needs --port and --data-port");
}

// The library takes dotted IPv4 text only; names are looked up here.
std::string DottedAddressOf(const std::string& host) {
  std::string dotted = LookUpIpv4(host);
  if (dotted.empty()) FailUsage("--host: cannot resolve '" + host + "' to an IPv4 address");
  return dotted;
}

// Statuses that mean something else when they come from the very first
// exchange: the user's words for what is probably wrong.
std::string FirstReplyHint(std::int32_t status, int timeout_ms) {
  switch (status) {
    case KR2270_ERROR_TIMEOUT:
      return "no reply within " + std::to_string(timeout_ms) +
             " ms; the module serves one command connection: is another client connected to it?";
    case KR2270_ERROR_RESET:
    case KR2270_ERROR_READ_REPLY:
      return "is --port the command port and --data-port the data port?";
    default:
      return {};
  }
}

void ProbeModule(const Connection& connection) {
  std::int32_t reference = 0;
  const std::int32_t status =
      KR2270_AdReadRef(connection.device.get(), &reference, connection.timeout_ms);
  if (status >= 0) return;
  const std::string hint = FirstReplyHint(status, connection.timeout_ms);
  Fail("no answer from " + DescribeModule(connection) + ": " + StatusMessage(status) +
       (hint.empty() ? "" : "; " + hint));
}

// The library adopts a pair whose full code exceeds its zero code by more
// than this (as int32); a channel keeps its earlier pair otherwise.
constexpr std::int64_t kPlausibleSpan = 10000;
// The host's pair before any is adopted.
constexpr std::int32_t kDefaultZeroCode = 4194303;
constexpr std::int32_t kDefaultFullCode = 8388607;

void ReadCalibration(Connection& connection) {
  CalibrationPairs& read = connection.module_calibration;
  Check(KR2270_AdReadZeroFull(connection.device.get(), read.zero.data(), read.full.data(),
                              connection.timeout_ms),
        "reading the calibration");
  for (std::size_t k = 0; k < kAnalogChannels; ++k) {
    const auto span = static_cast<std::int32_t>(static_cast<std::uint32_t>(read.full[k]) -
                                                static_cast<std::uint32_t>(read.zero[k]));
    const bool adopted = span > kPlausibleSpan;
    connection.calibration.zero[k] = adopted ? read.zero[k] : kDefaultZeroCode;
    connection.calibration.full[k] = adopted ? read.full[k] : kDefaultFullCode;
  }
}

}  // namespace

void AddConnectionOptions(CLI::App& command, ConnectionOptions& options) {
  command
      .add_option("--host", options.host,
                  "module address (default: a simulated module started in this process)")
      ->type_name("HOST");
  command.add_option("--port", options.port, "command port of the module")
      ->check(CLI::Range(1, 65535));
  command.add_option("--data-port", options.data_port, "data port of the module")
      ->check(CLI::Range(1, 65535));
  command.add_option("--timeout", options.timeout_ms, "connection and reply time-out in ms")
      ->capture_default_str()
      ->check(CLI::Range(1, 600000));
}

Connection Connect(const ConnectionOptions& options) {
  CheckConnectionOptions(options);
  Connection connection;
  connection.timeout_ms = options.timeout_ms;
  if (options.host.empty()) {
    BuiltinModuleHandle builtin = StartBuiltinModule();
    connection.builtin = std::move(builtin.module);
    connection.host = "127.0.0.1";
    connection.port = builtin.command_port;
    connection.data_port = builtin.data_port;
    std::fprintf(stderr, "kr2270: no --host given, using the built-in simulated module on %s\n",
                 DescribeModule(connection).c_str());
  } else {
    connection.host = DottedAddressOf(options.host);
    connection.port = options.port;
    connection.data_port = options.data_port;
  }
  connection.device = CreateDevice();
  const std::int32_t status =
      KR2270_CmdConnect(connection.device.get(), connection.host.c_str(), 0, connection.port,
                        connection.data_port, connection.timeout_ms);
  Check(status, "cannot connect to " + DescribeModule(connection));
  ProbeModule(connection);
  ReadCalibration(connection);
  return connection;
}

std::string DescribeModule(const Connection& connection) {
  return connection.host + " (command port " + std::to_string(connection.port) + ", data port " +
         std::to_string(connection.data_port) + ")";
}

}  // namespace kr2270::tool

namespace kr2270::tool {

ModuleAddress AddressOf(const Connection& connection) {
  return {connection.host, connection.port, connection.data_port, connection.builtin != nullptr,
          connection.calibration};
}

}  // namespace kr2270::tool
