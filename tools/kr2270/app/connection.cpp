#include "app/connection.h"

#include <CLI/CLI.hpp>
#include <array>
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

// The read is what makes the library adopt the pairs; their values are the
// library's to keep.
void ReadCalibration(const Connection& connection) {
  std::array<std::int32_t, kAnalogChannels> zero{};
  std::array<std::int32_t, kAnalogChannels> full{};
  Check(KR2270_AdReadZeroFull(connection.device.get(), zero.data(), full.data(),
                              connection.timeout_ms),
        "reading the calibration");
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
  return {connection.host, connection.port, connection.data_port, connection.builtin != nullptr};
}

}  // namespace kr2270::tool
