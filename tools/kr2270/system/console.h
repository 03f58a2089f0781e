// Terminals, folders and names the tool needs from the operating system, one
// file per platform (signals and errors are in system.h).
#pragma once

#include <memory>
#include <string>

namespace kr2270::tool {

bool StderrIsTerminal();
bool StdoutIsTerminal();
// True when files can be created in dir.
bool IsWritableDirectory(const std::string& dir);
// Makes a new, empty directory named prefix plus a unique suffix in the
// system's temporary folder; empty when it cannot.
std::string MakeTemporaryDirectory(const std::string& prefix);
// Dotted IPv4 text of host (itself when it is one); empty when it has none.
std::string LookUpIpv4(const std::string& host);

// The built-in simulated module, where this build has one.
struct BuiltinModule;
struct BuiltinModuleStop {
  void operator()(BuiltinModule* module) const;
};
struct BuiltinModuleHandle {
  std::unique_ptr<BuiltinModule, BuiltinModuleStop> module;
  int command_port = 0;
  int data_port = 0;
};
// Starts it on loopback; fails with a message when it cannot or the build has none.
BuiltinModuleHandle StartBuiltinModule();

}  // namespace kr2270::tool
