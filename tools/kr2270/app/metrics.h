// --metrics: a module's health in Prometheus' text format on /metrics, for
// `acquire` and `scope`. One small server per run, on a thread of its own,
// on the same HTTP footing as the scope (Asio), on every platform.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kr2270c.h"

namespace CLI {
class App;
}

namespace kr2270::tool {

struct MetricsOptions {
  std::string address;   // empty: no metrics
  double linger_s = 0.0;  // after the run: how long to wait for a last scrape
};

// --metrics [HOST:]PORT and --metrics-linger SECONDS; a bad address is a
// usage error before anything is connected.
void AddMetricsOptions(CLI::App& command, MetricsOptions& options);

// Why `address` cannot be served, or empty when it can.
std::string MetricsAddressProblem(const std::string& address);

// What one scrape reports of a module.
struct ModuleFigures {
  KR2270Health health{};
  std::uint64_t missing_groups = 0;  // in the gaps of the run
  bool data_lost = false;            // the module closed the stream, not brought back
  std::int64_t recording_bytes = 0;
  bool recording_failed = false;
};

ModuleFigures ReadModuleFigures(KR2270Device* device);

// The exposition: every metric with HELP and TYPE, labelled module="...".
std::string MetricsText(const ModuleFigures& figures, const std::string& module);

struct MetricsServer;
struct MetricsServerDeleter {
  void operator()(MetricsServer* server) const;  // stops it and waits for its thread
};
using MetricsHandle = std::unique_ptr<MetricsServer, MetricsServerDeleter>;

// Serves GET /metrics for `device` (which must outlive the handle) when
// options.address is set, and says where on stderr; null otherwise. Binds
// 127.0.0.1 unless a host is given. Throws a usage error for a bad address
// and a failure when it cannot be bound.
MetricsHandle StartMetrics(const MetricsOptions& options, KR2270Device* device,
                           const std::string& module);

int MetricsPort(const MetricsServer& server);

// At the end of a run: marks a recording that failed (the library forgets
// it when the recording is closed), then keeps serving until one more scrape
// was answered, options.linger_s passed or Ctrl-C came.
void FinishMetrics(MetricsServer* server, bool recording_failed);

}  // namespace kr2270::tool
