#include "scope/scope_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <httplib.h>

#include <charconv>
#include <random>
#include <thread>

#include "scope/scope_assets.h"
#include "app/tool.h"

namespace kr2270::tool {

struct ScopeServer {
  httplib::Server http;
  std::thread thread;
  int port = 0;
};

void ServerDeleter::operator()(ScopeServer* server) const {
  server->http.stop();
  if (server->thread.joinable()) server->thread.join();
  delete server;
}

namespace {

constexpr const char* kCookieName = "kr2270_scope_token";
constexpr double kMinWindowS = 0.05;
constexpr double kMaxWindowS = 60.0;
constexpr int kMinColumns = 50;
constexpr int kMaxColumns = 4000;
// A viewer that takes nothing for this long is let go, which frees its thread.
constexpr time_t kWriteTimeoutS = 2;
// A comment line now and then lets a viewer's thread notice a closed browser.
constexpr auto kKeepAlive = std::chrono::milliseconds(1000);
// Enough for a few frames in flight, small enough that a stalled browser
// blocks its thread early instead of soaking up megabytes.
constexpr int kSendBufferBytes = 256 * 1024;

struct Access {
  std::string token;  // empty: none asked for
  const ScopeServer* server = nullptr;
};

bool SameText(const std::string& a, const std::string& b) {
  // Every byte is compared, so the time taken says nothing of the token.
  if (a.size() != b.size()) return false;
  unsigned char differ = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

std::string CookieValue(const httplib::Request& request, const std::string& name) {
  const std::string cookies = request.get_header_value("Cookie");
  std::size_t at = 0;
  while (at < cookies.size()) {
    const std::size_t end = std::min(cookies.find(';', at), cookies.size());
    std::string item = cookies.substr(at, end - at);
    item.erase(0, item.find_first_not_of(' '));
    if (item.rfind(name + "=", 0) == 0) return item.substr(name.size() + 1);
    at = end + 1;
  }
  return {};
}

std::string BearerToken(const httplib::Request& request) {
  const std::string header = request.get_header_value("Authorization");
  const std::string prefix = "Bearer ";
  return header.rfind(prefix, 0) == 0 ? header.substr(prefix.size()) : std::string();
}

bool HasToken(const httplib::Request& request, const std::string& token) {
  return SameText(request.get_param_value("token"), token) ||
         SameText(BearerToken(request), token) ||
         SameText(CookieValue(request, kCookieName), token);
}

// Without a token the server answers only to its loopback name, so that a
// web page elsewhere cannot reach it through a name that resolves to
// 127.0.0.1.
bool LoopbackHost(const httplib::Request& request, int port) {
  const std::string host = request.get_header_value("Host");
  const std::string suffix = ":" + std::to_string(port);
  return host == "127.0.0.1" + suffix || host == "localhost" + suffix;
}

// A browser names the page that sent a request; only this server's own page
// may change anything.
bool SameOrigin(const httplib::Request& request) {
  if (!request.has_header("Origin")) return true;
  return request.get_header_value("Origin") == "http://" + request.get_header_value("Host");
}

void Refuse(httplib::Response& response, int status, const std::string& why) {
  response.status = status;
  response.set_content("{\"error\":\"" + why + "\"}", "application/json");
}

httplib::Server::HandlerResponse CheckAccess(const Access& access,
                                             const httplib::Request& request,
                                             httplib::Response& response) {
  using Handled = httplib::Server::HandlerResponse;
  if (access.token.empty() && !LoopbackHost(request, access.server->port)) {
    Refuse(response, 403, "unexpected Host header");
    return Handled::Handled;
  }
  if (!access.token.empty() && !HasToken(request, access.token)) {
    response.set_header("WWW-Authenticate", "Bearer");
    Refuse(response, 401, "token required");
    return Handled::Handled;
  }
  if (request.method != "GET" && !SameOrigin(request)) {
    Refuse(response, 403, "request from another origin");
    return Handled::Handled;
  }
  if (!access.token.empty() && request.has_param("token"))
    response.set_header("Set-Cookie", std::string(kCookieName) + "=" + access.token +
                                          "; Path=/; HttpOnly; SameSite=Strict");
  return Handled::Unhandled;
}

bool ParseDouble(const std::string& text, double& value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() && !text.empty();
}

bool ParseInt(const std::string& text, int& value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size() && !text.empty();
}

// The stream of one viewer: each queued frame as one event.
bool SendFrames(ScopeViewer& viewer, httplib::DataSink& sink) {
  const std::optional<std::string> frame = NextFrameJson(viewer, kKeepAlive);
  if (!frame) return false;
  const std::string event = frame->empty() ? ": idle\n\n" : "data: " + *frame + "\n\n";
  return sink.write(event.data(), event.size());
}

void ServeStream(ScopeHub& hub, const httplib::Request& request, httplib::Response& response) {
  double window_s = 2.0;
  int columns = 1000;
  if (request.has_param("window") && !ParseDouble(request.get_param_value("window"), window_s))
    return Refuse(response, 400, "window is not a number");
  if (request.has_param("columns") && !ParseInt(request.get_param_value("columns"), columns))
    return Refuse(response, 400, "columns is not a whole number");
  if (window_s < kMinWindowS || window_s > kMaxWindowS)
    return Refuse(response, 400, "window must be 0.05 to 60 s");
  if (columns < kMinColumns || columns > kMaxColumns)
    return Refuse(response, 400, "columns must be 50 to 4000");
  auto viewer = AddViewer(hub, window_s, columns);
  if (!viewer) return Refuse(response, 503, "too many viewers");
  response.set_header("Cache-Control", "no-store");
  response.set_chunked_content_provider(
      "text/event-stream",
      [viewer](std::size_t, httplib::DataSink& sink) { return SendFrames(*viewer, sink); },
      [&hub, viewer](bool) { RemoveViewer(hub, viewer); });
}

void ServeAsset(const WebAsset& asset, httplib::Response& response) {
  response.set_header("Cache-Control", "no-cache");
  response.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.content_type);
}

void Answer(httplib::Response& response, const PageReply& reply) {
  response.status = reply.http_status;
  response.set_content(reply.json, "application/json");
}

void AddRoutes(ScopeServer& server, ScopeHub& hub, const PageActions& actions) {
  for (std::size_t i = 0; i < kWebAssetCount; ++i) {
    const WebAsset& asset = kWebAssets[i];
    server.http.Get(asset.path, [&asset](const httplib::Request&, httplib::Response& response) {
      ServeAsset(asset, response);
    });
  }
  server.http.Get("/api/config", [&hub](const httplib::Request&, httplib::Response& response) {
    response.set_content(ConfigJsonOf(hub), "application/json");
  });
  server.http.Get("/api/status", [&hub](const httplib::Request&, httplib::Response& response) {
    std::lock_guard<std::mutex> guard(hub.lock);
    response.set_content(hub.status_json, "application/json");
  });
  server.http.Get("/api/stream", [&hub](const httplib::Request& request,
                                        httplib::Response& response) {
    ServeStream(hub, request, response);
  });
  server.http.Post("/api/record/start", [&hub, actions](const httplib::Request&,
                                                        httplib::Response& response) {
    Answer(response, RunOnAcquisition(hub, actions.start_recording));
  });
  server.http.Post("/api/record/stop", [&hub, actions](const httplib::Request&,
                                                       httplib::Response& response) {
    Answer(response, RunOnAcquisition(hub, actions.stop_recording));
  });
  server.http.Post("/api/range", [&hub, actions](const httplib::Request& request,
                                                 httplib::Response& response) {
    // Copied into the job: it may outlive this handler when the answer times out.
    Answer(response, RunOnAcquisition(hub, [actions, ranges = request.body] {
             return actions.set_ranges(ranges);
           }));
  });
  server.http.Post("/api/rate", [&hub, actions](const httplib::Request& request,
                                                httplib::Response& response) {
    Answer(response, RunOnAcquisition(hub, [actions, rate = request.body] {
             return actions.set_rate(rate);
           }));
  });
}

}  // namespace

ListenAddress ParseListenAddress(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos)
    FailUsage("--listen: '" + text + "' is not ADDRESS:PORT (e.g. 127.0.0.1:8080)");
  ListenAddress address;
  address.host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (!ParseInt(port, address.port) || address.port < 0 || address.port > 65535)
    FailUsage("--listen: port '" + port + "' is not a number in 0..65535");
  in_addr ipv4{};
  if (address.host != "localhost" && inet_pton(AF_INET, address.host.c_str(), &ipv4) != 1)
    FailUsage("--listen: '" + address.host + "' is not an IPv4 address");
  return address;
}

bool NeedsToken(const ListenAddress& address) {
  return address.host != "127.0.0.1" && address.host != "localhost";
}

std::string MakeToken() {
  std::random_device source;
  std::string token;
  static const char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t word = source();
    for (int nibble = 0; nibble < 8; ++nibble) token += kHex[(word >> (4 * nibble)) & 0xF];
  }
  return token;
}

ScopeServerHandle StartScopeServer(ScopeHub& hub, const ListenAddress& address,
                                   const std::string& token, PageActions actions) {
  ScopeServerHandle server(new ScopeServer);
  auto access = std::make_shared<Access>(Access{token, server.get()});
  server->http.new_task_queue = [] { return new httplib::ThreadPool(kMaxViewers + 4); };
  server->http.set_write_timeout(kWriteTimeoutS, 0);
  server->http.set_socket_options([](socket_t socket) {
    int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int bytes = kSendBufferBytes;
    setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  });
  server->http.set_pre_routing_handler(
      [access](const httplib::Request& request, httplib::Response& response) {
        return CheckAccess(*access, request, response);
      });
  AddRoutes(*server, hub, actions);
  const std::string host = address.host == "localhost" ? "127.0.0.1" : address.host;
  if (address.port == 0) {
    server->port = server->http.bind_to_any_port(host);
    if (server->port <= 0) Fail("--listen: cannot listen on " + address.host);
  } else {
    if (!server->http.bind_to_port(host, address.port))
      Fail("--listen: cannot listen on " + address.host + ":" + std::to_string(address.port));
    server->port = address.port;
  }
  ScopeServer* raw = server.get();
  server->thread = std::thread([raw] { raw->http.listen_after_bind(); });
  return server;
}

int BoundPort(const ScopeServer& server) { return server.port; }

}  // namespace kr2270::tool
