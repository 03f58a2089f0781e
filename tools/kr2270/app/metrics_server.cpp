// The /metrics server on Debian's cpp-httplib, as the scope's server.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "app/metrics.h"
#include "app/tool.h"
#include "system/system.h"

namespace kr2270::tool {

struct MetricsServer {
  httplib::Server http;
  std::thread thread;
  KR2270Device* device = nullptr;
  std::string module;
  double linger_s = 0.0;
  int port = 0;
  std::atomic<bool> recording_failed{false};
  std::mutex lock;
  std::condition_variable scraped;
  std::uint64_t scrapes = 0;  // under lock
};

void MetricsServerDeleter::operator()(MetricsServer* server) const {
  server->http.stop();
  if (server->thread.joinable()) server->thread.join();
  delete server;
}

namespace {

// A scraper that stops reading is let go; the figures are a few kilobytes.
constexpr time_t kSocketTimeoutS = 5;
// Scrapes come one at a time from each Prometheus; two threads serve a
// second scraper while the first one's answer is on its way.
constexpr std::size_t kServerThreads = 2;
// Between looks at Ctrl-C while waiting for the last scrape.
constexpr auto kLingerSlice = std::chrono::milliseconds(100);
constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";

struct Address {
  std::string host = "127.0.0.1";
  int port = 0;
};

// "[HOST:]PORT", HOST an IPv4 address or localhost; loopback without one.
std::optional<Address> ParseMetricsAddress(const std::string& text) {
  Address address;
  const auto colon = text.rfind(':');
  const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
  if (colon != std::string::npos && colon > 0) address.host = text.substr(0, colon);
  if (address.host == "localhost") address.host = "127.0.0.1";
  const auto parsed = std::from_chars(port.data(), port.data() + port.size(), address.port);
  in_addr ipv4{};
  if (port.empty() || parsed.ec != std::errc() || parsed.ptr != port.data() + port.size() ||
      address.port < 0 || address.port > 65535 ||
      inet_pton(AF_INET, address.host.c_str(), &ipv4) != 1)
    return std::nullopt;
  return address;
}

void Bind(MetricsServer& server, const Address& address) {
  const std::string where = address.host + ":" + std::to_string(address.port);
  if (address.port == 0) {
    server.port = server.http.bind_to_any_port(address.host);
    if (server.port <= 0) Fail("--metrics: cannot listen on " + address.host);
  } else {
    if (!server.http.bind_to_port(address.host, address.port))
      Fail("--metrics: cannot listen on " + where);
    server.port = address.port;
  }
}

void ServeScrape(MetricsServer& server, httplib::Response& response) {
  ModuleFigures figures = ReadModuleFigures(server.device);
  figures.recording_failed = figures.recording_failed || server.recording_failed.load();
  if (figures.recording_failed) server.recording_failed = true;
  response.set_content(MetricsText(figures, server.module), kContentType);
  {
    std::lock_guard<std::mutex> guard(server.lock);
    ++server.scrapes;
  }
  server.scraped.notify_all();
}

}  // namespace

std::string MetricsAddressProblem(const std::string& text) {
  if (ParseMetricsAddress(text)) return "";
  return "'" + text + "' is not [HOST:]PORT with an IPv4 HOST and a PORT in 0..65535 "
         "(e.g. 9270 or 0.0.0.0:9270)";
}

MetricsHandle StartMetrics(const MetricsOptions& options, KR2270Device* device,
                           const std::string& module) {
  if (options.address.empty()) return nullptr;
  const std::optional<Address> parsed = ParseMetricsAddress(options.address);
  if (!parsed) FailUsage("--metrics: " + MetricsAddressProblem(options.address));
  const Address address = *parsed;
  MetricsHandle server(new MetricsServer);
  server->device = device;
  server->module = module;
  server->linger_s = options.linger_s;
  server->http.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  server->http.set_read_timeout(kSocketTimeoutS, 0);
  server->http.set_write_timeout(kSocketTimeoutS, 0);
  // The library's default adds SO_REUSEPORT, with which a second run on the
  // same port would share it and answer half the scrapes with its module.
  server->http.set_socket_options([](socket_t socket) {
    int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  });
  MetricsServer* raw = server.get();
  server->http.Get("/metrics", [raw](const httplib::Request&, httplib::Response& response) {
    ServeScrape(*raw, response);
  });
  Bind(*server, address);
  server->thread = std::thread([raw] { raw->http.listen_after_bind(); });
  std::fprintf(stderr, "metrics: http://%s:%d/metrics\n", address.host.c_str(), server->port);
  std::fflush(stderr);
  return server;
}

int MetricsPort(const MetricsServer& server) { return server.port; }

void FinishMetrics(MetricsServer* server, bool recording_failed) {
  if (server == nullptr) return;
  if (recording_failed) server->recording_failed = true;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(server->linger_s));
  std::unique_lock<std::mutex> guard(server->lock);
  const std::uint64_t before = server->scrapes;
  while (server->scrapes == before && !Interrupted() && std::chrono::steady_clock::now() < deadline)
    server->scraped.wait_until(guard, std::min(deadline, std::chrono::steady_clock::now() + kLingerSlice));
}

}  // namespace kr2270::tool
