// Where a subcommand's readable report goes: standard output, unless the
// CSV rows go there, in which case standard error.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "run/acquisition.h"
#include "output/recording_files.h"

namespace kr2270::tool {

std::FILE* ReportStream(const std::string& csv_path);

// The end-of-run summary of `acquire` and `demo`.
struct RunSummary {
  const AcquisitionPlan* plan = nullptr;
  const AcquisitionResult* result = nullptr;
  std::vector<std::string> files;  // as they should be listed
};

void PrintRunSummary(std::FILE* out, const RunSummary& summary);

std::vector<std::string> DescribeFiles(const std::vector<WrittenFile>& files);

}  // namespace kr2270::tool
