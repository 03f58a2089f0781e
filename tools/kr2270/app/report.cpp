#include "app/report.h"

#include <algorithm>

#include "output/csv.h"

namespace kr2270::tool {

std::FILE* ReportStream(const std::string& csv_path) {
  return IsStdout(csv_path) ? stderr : stdout;
}

void PrintRunSummary(std::FILE* out, const RunSummary& summary) {
  const AcquisitionPlan& plan = *summary.plan;
  const AcquisitionResult& result = *summary.result;
  const int per_output = std::max(1, plan.selection.average);
  const double groups = static_cast<double>(result.outputs) * per_output;
  std::fprintf(out, "groups:          %lld", static_cast<long long>(result.outputs * per_output));
  if (plan.selection.average > 0)
    std::fprintf(out, " (%lld averaged outputs of %d)", static_cast<long long>(result.outputs),
                 plan.selection.average);
  std::fprintf(out, "\nlost groups:     %llu\n", static_cast<unsigned long long>(result.lost_groups));
  std::fprintf(out, "data connection: %s\n", result.data_lost ? "lost" : "kept");
  const double achieved = result.elapsed_s > 0.0 ? groups / result.elapsed_s : 0.0;
  std::fprintf(out, "rate achieved:   %.1f groups/s (rate code %d: %.0f groups/s, %.3f s)\n",
               achieved, plan.rate_code, plan.selection.group_rate, result.elapsed_s);
  if (result.timeline.gaps > 0)
    std::fprintf(out, "gaps:            %llu (%llu groups missing in reconnects)\n",
                 static_cast<unsigned long long>(result.timeline.gaps),
                 static_cast<unsigned long long>(result.link_gap_groups));
  const KR2270Health& h = result.health;
  if (h.struct_size != 0)
    std::fprintf(out,
                 "health:          received %llu, dropped %llu, gaps %llu, reconnects %llu, "
                 "command time-outs %llu, stale replies %llu, ring high water %llu bytes\n",
                 static_cast<unsigned long long>(h.groups_received),
                 static_cast<unsigned long long>(h.groups_dropped),
                 static_cast<unsigned long long>(h.gaps), static_cast<unsigned long long>(h.reconnects),
                 static_cast<unsigned long long>(h.command_timeouts),
                 static_cast<unsigned long long>(h.stale_replies),
                 static_cast<unsigned long long>(h.ring_high_water));
  std::fprintf(out, "ended:           %s\n", result.why.empty() ? "the requested groups were taken" : result.why.c_str());
  if (!result.recording.empty())
    std::fprintf(out, "recorded groups: %lld (timeline in %s)\n",
                 static_cast<long long>(result.recorded_groups), result.sidecar.c_str());
  if (summary.files.empty()) {
    std::fprintf(out, "files written:   none\n");
    return;
  }
  for (std::size_t i = 0; i < summary.files.size(); ++i)
    std::fprintf(out, "%s%s\n", i == 0 ? "files written:   " : "                 ",
                 summary.files[i].c_str());
}

std::vector<std::string> DescribeFiles(const std::vector<WrittenFile>& files) {
  std::vector<std::string> lines;
  for (const WrittenFile& file : files)
    lines.push_back(file.path + " (" + std::to_string(file.bytes) + " bytes)");
  return lines;
}

}  // namespace kr2270::tool
