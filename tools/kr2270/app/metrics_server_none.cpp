// Builds whose HTTP library is not there yet (Windows): --metrics is refused.
#include "app/metrics.h"
#include "app/tool.h"

namespace kr2270::tool {

struct MetricsServer {};

void MetricsServerDeleter::operator()(MetricsServer* server) const { delete server; }

std::string MetricsAddressProblem(const std::string&) {
  return "this build has no HTTP server; run the Linux kr2270 for /metrics";
}

MetricsHandle StartMetrics(const MetricsOptions& options, KR2270Device*, const std::string&) {
  if (!options.address.empty()) FailUsage("--metrics: " + MetricsAddressProblem(options.address));
  return nullptr;
}

int MetricsPort(const MetricsServer&) { return 0; }

void FinishMetrics(MetricsServer*, bool) {}

}  // namespace kr2270::tool
