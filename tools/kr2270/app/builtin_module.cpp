#include <cstring>
#include <string>

#include "system/console.h"
#include "sim/simulator.h"
#include "app/tool.h"

namespace kr2270::tool {

struct BuiltinModule {
  sim::Simulator simulator;
};

void BuiltinModuleStop::operator()(BuiltinModule* module) const { delete module; }

BuiltinModuleHandle StartBuiltinModule() {
  BuiltinModuleHandle handle;
  handle.module.reset(new BuiltinModule);
  const int status = handle.module->simulator.Start();
  if (status != 0)
    Fail(std::string("cannot start the built-in simulated module: ") + std::strerror(-status));
  handle.command_port = handle.module->simulator.command_port();
  handle.data_port = handle.module->simulator.data_port();
  return handle;
}

}  // namespace kr2270::tool
