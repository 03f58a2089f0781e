// The /metrics server: a listener of its own on standalone Asio, as the
// scope's, so that it builds for every platform the tool does. A scraper
// asks one small thing; each connection gets one answer and is closed, and
// every wait on a client is bounded.
#include <asio.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "app/metrics.h"
#include "app/tool.h"
#include "scope/http_request.h"
#include "scope/listener.h"
#include "system/system.h"

namespace kr2270::tool {

using Tcp = asio::ip::tcp;

struct MetricsServer {
  KR2270Device* device = nullptr;
  std::string module;
  double linger_s = 0.0;
  int port = 0;
  std::atomic<bool> recording_failed{false};
  std::mutex lock;
  std::condition_variable scraped;
  std::uint64_t scrapes = 0;  // under lock
  std::size_t connections = 0;  // I/O thread only; outlives `io`, whose end closes them
  asio::io_context io;
  Tcp::acceptor acceptor{io};
  std::thread thread;
};

void MetricsServerDeleter::operator()(MetricsServer* server) const {
  // Stopped, not drained: the connections still open go with the context.
  server->io.stop();
  if (server->thread.joinable()) server->thread.join();
  delete server;
}

namespace {

// A scrape is a request line and a few headers, without a body.
constexpr RequestLimits kLimits{8 * 1024, 64, 0};
// Scrapers connect one at a time each; more at once than this are refused.
constexpr std::size_t kMaxConnections = 16;
// From the connection to the whole request, and for the answer to be taken.
constexpr auto kRequestTimeout = std::chrono::seconds(5);
constexpr auto kWriteTimeout = std::chrono::seconds(5);
// After the answer, how long the client has to close its side, so that the
// answer is not lost to a reset from unread bytes.
constexpr auto kCloseTimeout = std::chrono::seconds(2);
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
  asio::error_code error;
  asio::ip::make_address_v4(address.host, error);
  if (port.empty() || parsed.ec != std::errc() || parsed.ptr != port.data() + port.size() ||
      address.port < 0 || address.port > 65535 || error)
    return std::nullopt;
  return address;
}

struct Connection : std::enable_shared_from_this<Connection> {
  Connection(MetricsServer& s, Tcp::socket in) : server(s), socket(std::move(in)), timer(s.io) {
    ++server.connections;
  }
  ~Connection() { --server.connections; }
  MetricsServer& server;
  Tcp::socket socket;
  asio::steady_timer timer;
  std::string received;
  std::array<char, 2048> chunk{};
  std::string answer;
};

using ConnectionPtr = std::shared_ptr<Connection>;

void Close(const ConnectionPtr& c) {
  asio::error_code ignored;
  c->timer.cancel();
  c->socket.close(ignored);
}

// Closes the connection when `after` passes first; a later call replaces it.
void SetDeadline(const ConnectionPtr& c, std::chrono::steady_clock::duration after) {
  c->timer.expires_after(after);
  c->timer.async_wait([c](const asio::error_code& error) {
    if (!error) Close(c);
  });
}

std::string Scrape(MetricsServer& server) {
  ModuleFigures figures = ReadModuleFigures(server.device);
  figures.recording_failed = figures.recording_failed || server.recording_failed.load();
  if (figures.recording_failed) server.recording_failed = true;
  std::string text = MetricsText(figures, server.module);
  {
    std::lock_guard<std::mutex> guard(server.lock);
    ++server.scrapes;
  }
  server.scraped.notify_all();
  return text;
}

// Waits for the client to close after its answer, reading and dropping
// whatever else it sends.
void AwaitClose(const ConnectionPtr& c) {
  c->socket.async_read_some(asio::buffer(c->chunk), [c](const asio::error_code& error, std::size_t) {
    if (error) return Close(c);
    AwaitClose(c);
  });
}

void Answer(const ConnectionPtr& c, int status, const std::string& content_type, const std::string& body,
            const char* extra = "") {
  c->answer = "HTTP/1.1 " + std::to_string(status) + " " + StatusReason(status) +
              "\r\nContent-Type: " + content_type + "\r\nContent-Length: " +
              std::to_string(body.size()) + "\r\nCache-Control: no-store\r\n" + extra +
              "Connection: close\r\n\r\n" + body;
  SetDeadline(c, kWriteTimeout);
  asio::async_write(c->socket, asio::buffer(c->answer), [c](const asio::error_code& error, std::size_t) {
    if (error) return Close(c);
    asio::error_code ignored;
    c->socket.shutdown(Tcp::socket::shutdown_send, ignored);
    SetDeadline(c, kCloseTimeout);
    AwaitClose(c);
  });
}

void Refuse(const ConnectionPtr& c, int status, const std::string& why, const char* extra = "") {
  Answer(c, status, "text/plain; charset=utf-8", why + "\n", extra);
}

void Route(const ConnectionPtr& c, const HttpRequest& request) {
  if (request.path != "/metrics") return Refuse(c, 404, "not found; the figures are on /metrics");
  if (request.method != "GET") return Refuse(c, 405, "method not allowed", "Allow: GET\r\n");
  Answer(c, 200, kContentType, Scrape(c->server));
}

void ReadRequest(const ConnectionPtr& c) {
  c->socket.async_read_some(asio::buffer(c->chunk), [c](const asio::error_code& error, std::size_t n) {
    if (error) return Close(c);
    c->received.append(c->chunk.data(), n);
    const HeadCheck check = CheckHead(c->received, kLimits);
    if (check.refuse != 0) return Refuse(c, check.refuse, check.why);
    if (check.head_bytes == 0) return ReadRequest(c);
    HttpRequest request;
    std::string why;
    const int status = ParseHead(std::string_view(c->received).substr(0, check.head_bytes), kLimits,
                                 request, why);
    if (status != 0) return Refuse(c, status, why);
    Route(c, request);
  });
}

void Accept(MetricsServer& server) {
  server.acceptor.async_accept([&server](const asio::error_code& error, Tcp::socket socket) {
    if (error == asio::error::operation_aborted || !server.acceptor.is_open()) return;
    if (!error && server.connections < kMaxConnections) {
      auto c = std::make_shared<Connection>(server, std::move(socket));
      SetDeadline(c, kRequestTimeout);
      ReadRequest(c);
    }  // else the socket closes as it goes
    Accept(server);
  });
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
  const std::optional<Address> address = ParseMetricsAddress(options.address);
  if (!address) FailUsage("--metrics: " + MetricsAddressProblem(options.address));
  MetricsHandle server(new MetricsServer);
  server->device = device;
  server->module = module;
  server->linger_s = options.linger_s;
  server->port = OpenListener(server->acceptor, address->host, address->port, "--metrics");
  Accept(*server);
  MetricsServer* raw = server.get();
  server->thread = std::thread([raw] { raw->io.run(); });
  std::fprintf(stderr, "metrics: http://%s:%d/metrics\n", address->host.c_str(), server->port);
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
