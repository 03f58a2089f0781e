// The sections of the benchmark run; each appends its rows to the table.
#pragma once

#include <string>
#include <vector>

#include "table.h"

namespace kr2270::bench {

struct Config {
  std::string self;            // this program, for the strace driver runs
  std::string sim_executable;  // kr2270-sim
  std::string tool_executable;  // kr2270, for the scope's figures; empty when not built
  std::string temp_dir;        // on the disk under test
  double scale = 1.0;          // < 1 shortens every section (smoke runs)
  double stream_seconds = 30.0;
  std::vector<int> module_counts = {8, 12, 16};
};

// Notes printed under the table: what was seen beside the figures.
struct Report {
  std::vector<Row> rows;
  std::vector<std::string> notes;
};

void RunCommandSection(const Config& config, Report& report);
void RunStreamSection(const Config& config, Report& report);
void RunSplitSection(const Config& config, Report& report);
void RunRecordingSection(const Config& config, Report& report);
void RunLatencySection(const Config& config, Report& report);
void RunScopeSection(const Config& config, Report& report);

// The strace target: connects to the command port and runs `count` commands
// of one client and kind; returns the process exit status.
int RunCommandDriver(const std::string& client, const std::string& op, unsigned port, long count);

}  // namespace kr2270::bench
