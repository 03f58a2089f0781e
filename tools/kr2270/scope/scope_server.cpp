// Built on standalone Asio (Debian's libasio-dev): header-only, so the same
// source builds for Linux and, with mingw-w64, for Windows, with nothing
// compiled to fetch; the HTTP on top of it is the little the page needs
// (http_request.h), kept small so that every limit is ours to set.
#include "scope/scope_server.h"

#include <asio.hpp>

#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <list>
#include <random>
#include <thread>

#include "app/tool.h"
#include "scope/scope_assets.h"
#include "scope/scope_json.h"
#include "system/system.h"

namespace kr2270::tool {

using Tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kMinWindowS = 0.05;
constexpr double kMaxWindowS = 60.0;
constexpr int kMinColumns = 50;
constexpr int kMaxColumns = 4000;
// A comment line when nothing else went out for this long keeps proxies
// and the browser from taking a quiet stream for a dead one.
constexpr auto kKeepAlive = std::chrono::milliseconds(1000);
// Enough for a few frames in flight, small enough that a stalled browser
// stops taking early instead of soaking up megabytes in the kernel.
constexpr int kSendBufferBytes = 256 * 1024;
// After a refusal the rest of what the client sends is read and dropped for
// this long, so that the answer is not lost to a reset.
constexpr auto kLinger = std::chrono::seconds(2);

// On every answer: the page may not be framed by another site, nor its
// address (with a token in it) passed on as a referrer.
constexpr const char* kCommonHeaders =
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n";

enum class Phase { kWaiting, kAnswering, kActing, kStreaming, kLingering, kClosed };

struct Connection;

}  // namespace

struct ScopeServer {
  ScopeServer(ScopeHub& h, std::string t, PageActions a)
      : hub(h), token(std::move(t)), actions(std::move(a)) {}
  ScopeHub& hub;
  const std::string token;  // empty: none asked for
  const PageActions actions;
  asio::io_context io;
  Tcp::acceptor acceptor{io};
  std::list<std::shared_ptr<Connection>> connections;  // I/O thread only; oldest first
  std::thread thread;
  int port = 0;
};

namespace {

struct Connection : std::enable_shared_from_this<Connection> {
  Connection(ScopeServer& s, Tcp::socket socket_in, std::string address)
      : server(s), socket(std::move(socket_in)), timer(s.io), ticker(s.io), client(std::move(address)) {}
  ScopeServer& server;
  Tcp::socket socket;
  asio::steady_timer timer;   // the deadline of the current phase
  std::uint64_t deadline_serial = 0;
  asio::steady_timer ticker;  // a stream's keep-alive
  const std::string client;
  std::list<std::shared_ptr<Connection>>::iterator place;
  Phase phase = Phase::kWaiting;
  std::string received;
  std::array<char, 4096> chunk{};
  HttpRequest request;
  std::string answer;
  // A stream's:
  std::shared_ptr<ScopeViewer> viewer;
  ViewerEvent event;
  bool writing = false;
  std::atomic<bool> pump_posted{false};
  Clock::time_point last_write;
};

using ConnectionPtr = std::shared_ptr<Connection>;

void Close(const ConnectionPtr& c) {
  if (c->phase == Phase::kClosed) return;
  const bool sending = c->writing || c->phase == Phase::kAnswering;
  c->phase = Phase::kClosed;
  asio::error_code ignored;
  // What a client that stopped taking has not taken is dropped, not kept
  // for it in the kernel.
  if (sending) c->socket.set_option(asio::socket_base::linger(true, 0), ignored);
  c->socket.shutdown(Tcp::socket::shutdown_both, ignored);
  c->socket.close(ignored);
  c->timer.cancel();
  c->ticker.cancel();
  if (c->viewer) RemoveViewer(c->server.hub, c->viewer);
  c->server.connections.erase(c->place);
}

// `on_expiry` runs unless another deadline, or none, was set meanwhile.
template <typename Handler>
void SetDeadline(const ConnectionPtr& c, Clock::duration after, Handler on_expiry) {
  const std::uint64_t serial = ++c->deadline_serial;
  c->timer.expires_after(after);
  c->timer.async_wait([c, serial, on_expiry](const asio::error_code& error) {
    if (!error && serial == c->deadline_serial && c->phase != Phase::kClosed) on_expiry(c);
  });
}

void ClearDeadline(const ConnectionPtr& c) {
  ++c->deadline_serial;
  c->timer.cancel();
}

// ---- access -----------------------------------------------------------------------

bool SameText(const std::string& a, const std::string& b) {
  // Every byte is compared, so the time taken says nothing of the token.
  if (a.size() != b.size()) return false;
  unsigned char differ = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

std::string BearerToken(const HttpRequest& request) {
  const std::string header = HeaderValue(request, "authorization");
  const std::string prefix = "Bearer ";
  return header.rfind(prefix, 0) == 0 ? header.substr(prefix.size()) : std::string();
}

// The token travels with each request, never in a cookie: a cookie would go
// to every port of the host, to another scope and any other server there.
bool HasToken(const HttpRequest& request, const std::string& token) {
  const std::string* param = FindParam(request, "token");
  return SameText(param ? *param : std::string(), token) || SameText(BearerToken(request), token);
}

// Without a token the server answers only to its loopback name, so that a
// web page elsewhere cannot reach it through a name that resolves to
// 127.0.0.1.
bool LoopbackHost(const HttpRequest& request, int port) {
  const std::string host = HeaderValue(request, "host");
  const std::string suffix = ":" + std::to_string(port);
  return host == "127.0.0.1" + suffix || host == "localhost" + suffix;
}

// A browser names the page that sent a request; only this server's own page
// may change anything.
bool SameOrigin(const HttpRequest& request) {
  if (!HasHeader(request, "origin")) return true;
  return HeaderValue(request, "origin") == "http://" + HeaderValue(request, "host");
}

// The page's files are the same for every scope and carry nothing of the
// run: only what the interface under /api/ gives needs the token.
bool NeedsTokenFor(const HttpRequest& request) { return request.path.rfind("/api/", 0) == 0; }

struct Refusal {
  int status = 0;
  std::string why;
  std::string headers;
};

Refusal CheckAccess(const ScopeServer& server, const HttpRequest& request) {
  if (server.token.empty() && !LoopbackHost(request, server.port))
    return {403, "unexpected Host header", ""};
  if (!server.token.empty() && NeedsTokenFor(request) && !HasToken(request, server.token))
    return {401, "token required", "WWW-Authenticate: Bearer\r\n"};
  if (request.method != "GET" && !SameOrigin(request)) return {403, "request from another origin", ""};
  return {};
}

// ---- sending -----------------------------------------------------------------------

using Buffers = std::vector<asio::const_buffer>;

void Advance(Buffers& buffers, std::size_t sent) {
  while (!buffers.empty() && sent >= buffers.front().size()) {
    sent -= buffers.front().size();
    buffers.erase(buffers.begin());
  }
  if (!buffers.empty()) buffers.front() += sent;
}

// Sends all of `buffers` (whose memory the caller keeps), then calls
// `done`. Writes are made when the socket can take them and never left
// pending in the system: a send pending on a client that stopped reading
// outlives its socket's close under Wine, and the I/O thread could then
// never end.
template <typename Done>
void SendAll(const ConnectionPtr& c, Buffers buffers, Done done) {
  asio::error_code error;
  while (!buffers.empty()) {
    Advance(buffers, c->socket.write_some(buffers, error));
    if (error == asio::error::would_block || error == asio::error::try_again) break;
    if (error) return done(error);
  }
  if (buffers.empty()) return done(asio::error_code());
  c->socket.async_wait(Tcp::socket::wait_write,
                       [c, buffers = std::move(buffers), done](const asio::error_code& waited) mutable {
                         if (c->phase == Phase::kClosed) return done(asio::error::operation_aborted);
                         if (waited) return done(waited);
                         SendAll(c, std::move(buffers), done);
                       });
}

// ---- answers ----------------------------------------------------------------------

void StartRequest(const ConnectionPtr& c);

void Linger(const ConnectionPtr& c) {
  c->phase = Phase::kLingering;
  asio::error_code ignored;
  c->socket.shutdown(Tcp::socket::shutdown_send, ignored);
  SetDeadline(c, kLinger, Close);
  struct Drain {
    ConnectionPtr c;
    void operator()(const asio::error_code& error, std::size_t) const {
      if (error || c->phase != Phase::kLingering) return Close(c);
      c->socket.async_read_some(asio::buffer(c->chunk), *this);
    }
  };
  c->socket.async_read_some(asio::buffer(c->chunk), Drain{c});
}

std::string AnswerHead(int status, const std::string& content_type, std::size_t length,
                       const std::string& extra, bool keep_alive) {
  return "HTTP/1.1 " + std::to_string(status) + " " + StatusReason(status) + "\r\nContent-Type: " +
         content_type + "\r\nContent-Length: " + std::to_string(length) + "\r\n" + kCommonHeaders +
         extra + "Connection: " + (keep_alive ? "keep-alive" : "close") + "\r\n\r\n";
}

// Sends the answer; the connection then waits for its next request, or
// closes after a refusal whose body was not read.
void Answer(const ConnectionPtr& c, int status, const std::string& content_type,
            const std::string& body, const std::string& extra = "Cache-Control: no-store\r\n",
            bool keep_alive = true) {
  keep_alive = keep_alive && c->request.keep_alive;
  c->answer = AnswerHead(status, content_type, body.size(), extra, keep_alive) + body;
  c->phase = Phase::kAnswering;
  SetDeadline(c, kWriteTimeout, Close);
  SendAll(c, {asio::buffer(c->answer)}, [c, keep_alive](const asio::error_code& error) {
    if (c->phase != Phase::kAnswering) return;
    if (error) return Close(c);
    c->answer.clear();
    if (keep_alive) return StartRequest(c);
    Linger(c);
  });
}

void AnswerJson(const ConnectionPtr& c, const PageReply& reply) {
  Answer(c, reply.http_status, "application/json", reply.json);
}

void Refuse(const ConnectionPtr& c, const Refusal& refusal, bool keep_alive) {
  Answer(c, refusal.status, "application/json",
         "{\"error\":" + JsonString(refusal.why) + "}",
         "Cache-Control: no-store\r\n" + refusal.headers, keep_alive);
}

// ---- the stream -------------------------------------------------------------------

void Pump(const ConnectionPtr& c);

void WriteToStream(const ConnectionPtr& c, Buffers buffers) {
  c->writing = true;
  SetDeadline(c, kWriteTimeout, Close);
  SendAll(c, std::move(buffers), [c](const asio::error_code& error) {
    c->writing = false;
    if (c->phase != Phase::kStreaming) return;
    ClearDeadline(c);
    if (error) return Close(c);
    c->last_write = Clock::now();
    Pump(c);
  });
}

void Pump(const ConnectionPtr& c) {
  if (c->phase != Phase::kStreaming || c->writing) return;
  bool closed = false;
  if (NextEvent(*c->viewer, c->event, closed)) {
    static const std::string kEnd = "\n\n";
    return WriteToStream(c, {asio::buffer(c->event.head), asio::buffer(*c->event.body),
                             asio::buffer(kEnd)});
  }
  if (closed) Close(c);
}

void KeepAlive(const ConnectionPtr& c) {
  c->ticker.expires_after(kKeepAlive);
  c->ticker.async_wait([c](const asio::error_code& error) {
    if (error || c->phase != Phase::kStreaming) return;
    if (!c->writing && Clock::now() - c->last_write >= kKeepAlive) {
      static const std::string kIdle = ": idle\n\n";
      WriteToStream(c, {asio::buffer(kIdle)});
    }
    KeepAlive(c);
  });
}

// A client sends nothing on a stream: a read that ends means it has gone.
void WatchForLeaving(const ConnectionPtr& c) {
  c->socket.async_read_some(asio::buffer(c->chunk), [c](const asio::error_code& error, std::size_t) {
    if (c->phase != Phase::kStreaming) return;
    if (error) return Close(c);
    WatchForLeaving(c);
  });
}

bool ParseNumber(const std::string* text, double& value) {
  if (text == nullptr) return true;
  const auto result = std::from_chars(text->data(), text->data() + text->size(), value);
  return !text->empty() && result.ec == std::errc() && result.ptr == text->data() + text->size() &&
         std::isfinite(value);
}

bool ParseWhole(const std::string* text, int& value) {
  if (text == nullptr) return true;
  const auto result = std::from_chars(text->data(), text->data() + text->size(), value);
  return !text->empty() && result.ec == std::errc() && result.ptr == text->data() + text->size();
}

void Stream(const ConnectionPtr& c) {
  double window_s = 2.0;
  int columns = 1000;
  if (!ParseNumber(FindParam(c->request, "window"), window_s))
    return Refuse(c, {400, "window is not a finite number", ""}, true);
  if (!ParseWhole(FindParam(c->request, "columns"), columns))
    return Refuse(c, {400, "columns is not a whole number", ""}, true);
  if (window_s < kMinWindowS || window_s > kMaxWindowS)
    return Refuse(c, {400, "window must be 0.05 to 60 s", ""}, true);
  if (columns < kMinColumns || columns > kMaxColumns)
    return Refuse(c, {400, "columns must be 50 to 4000", ""}, true);
  asio::io_context& io = c->server.io;
  std::weak_ptr<Connection> weak = c;
  c->viewer = AddViewer(c->server.hub, window_s, columns, [weak, &io] {
    const ConnectionPtr held = weak.lock();
    if (held && !held->pump_posted.exchange(true))
      asio::post(io, [held] {
        held->pump_posted = false;
        Pump(held);
      });
  });
  if (!c->viewer) return Refuse(c, {503, "too many viewers", ""}, true);
  c->phase = Phase::kStreaming;
  c->answer = std::string("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                          "Cache-Control: no-store\r\n") +
              kCommonHeaders + "Connection: close\r\n\r\n";
  WriteToStream(c, {asio::buffer(c->answer)});
  KeepAlive(c);
  WatchForLeaving(c);
}

// ---- requests of the page ---------------------------------------------------------

void Act(const ConnectionPtr& c, PageJob job) {
  c->phase = Phase::kActing;
  asio::io_context& io = c->server.io;
  std::weak_ptr<Connection> weak = c;
  auto pending = SubmitPageJob(c->server.hub, std::move(job), [weak, &io](const PageReply& reply) {
    asio::post(io, [weak, reply] {
      const ConnectionPtr held = weak.lock();
      if (held && held->phase == Phase::kActing) AnswerJson(held, reply);
    });
  });
  struct Wait {
    std::shared_ptr<PendingJob> pending;
    void operator()(const ConnectionPtr& held) const {
      if (held->phase != Phase::kActing) return;
      // Not taken yet: withdrawn, so that it never runs after the answer.
      if (WithdrawPageJob(held->server.hub, pending))
        return AnswerJson(held, {503, "{\"error\":\"the acquisition did not answer\"}"});
      SetDeadline(held, kJobTimeout, *this);  // running: its answer comes
    }
  };
  SetDeadline(c, kJobTimeout, Wait{pending});
}

const WebAsset* FindAsset(const std::string& path) {
  for (std::size_t i = 0; i < kWebAssetCount; ++i)
    if (path == kWebAssets[i].path) return &kWebAssets[i];
  return nullptr;
}

bool KnownPath(const std::string& path) {
  return FindAsset(path) || path == "/api/config" || path == "/api/status" ||
         path == "/api/stream" || path == "/api/record/start" || path == "/api/record/stop" ||
         path == "/api/range" || path == "/api/rate";
}

void Route(const ConnectionPtr& c) {
  ScopeServer& server = c->server;
  const HttpRequest& r = c->request;
  const std::string& path = r.path;
  if (r.method == "GET") {
    if (const WebAsset* asset = FindAsset(path))
      return Answer(c, 200, asset->content_type,
                    std::string(reinterpret_cast<const char*>(asset->data), asset->size),
                    "Cache-Control: no-cache\r\n");
    if (path == "/api/config") return Answer(c, 200, "application/json", ConfigJsonOf(server.hub));
    if (path == "/api/status") return Answer(c, 200, "application/json", StatusJsonOf(server.hub));
    if (path == "/api/stream") return Stream(c);
  } else if (r.method == "POST") {
    const PageActions& a = server.actions;
    if (path == "/api/record/start") return Act(c, a.start_recording);
    if (path == "/api/record/stop") return Act(c, a.stop_recording);
    // The body is copied into the job: it may outlive this request.
    if (path == "/api/range") return Act(c, [a, body = r.body] { return a.set_ranges(body); });
    if (path == "/api/rate") return Act(c, [a, body = r.body] { return a.set_rate(body); });
  }
  if (KnownPath(path)) return Refuse(c, {405, "method not allowed", ""}, true);
  Refuse(c, {404, "not found", ""}, true);
}

// ---- reading a request ------------------------------------------------------------

void ReadBody(const ConnectionPtr& c) {
  if (c->received.size() >= c->request.content_length) {
    c->request.body = c->received.substr(0, c->request.content_length);
    c->received.erase(0, c->request.content_length);
    return Route(c);
  }
  c->socket.async_read_some(asio::buffer(c->chunk), [c](const asio::error_code& error, std::size_t n) {
    if (c->phase != Phase::kWaiting) return;
    if (error) return Close(c);
    c->received.append(c->chunk.data(), n);
    ReadBody(c);
  });
}

void ReadHead(const ConnectionPtr& c);

void OnReceived(const ConnectionPtr& c) {
  const HeadCheck check = CheckHead(c->received, kRequestLimits);
  if (check.refuse != 0) return Refuse(c, {check.refuse, check.why, ""}, false);
  if (check.head_bytes == 0) return ReadHead(c);
  std::string why;
  const int status =
      ParseHead(std::string_view(c->received).substr(0, check.head_bytes), kRequestLimits, c->request, why);
  c->received.erase(0, check.head_bytes);
  if (status != 0) return Refuse(c, {status, why, ""}, false);
  // Before the body is read: a request that will be refused costs no more.
  const Refusal refusal = CheckAccess(c->server, c->request);
  if (refusal.status != 0) return Refuse(c, refusal, false);
  ReadBody(c);
}

void ReadHead(const ConnectionPtr& c) {
  c->socket.async_read_some(asio::buffer(c->chunk), [c](const asio::error_code& error, std::size_t n) {
    if (c->phase != Phase::kWaiting) return;
    if (error) return Close(c);
    c->received.append(c->chunk.data(), n);
    OnReceived(c);
  });
}

void StartRequest(const ConnectionPtr& c) {
  c->phase = Phase::kWaiting;
  c->request = {};
  SetDeadline(c, kRequestTimeout, Close);
  // A pipelined request may be here already.
  if (!c->received.empty()) return OnReceived(c);
  ReadHead(c);
}

// ---- connections ------------------------------------------------------------------

// Closes the oldest connection still waiting for its request, of `client`
// when given; false when there is none.
bool Evict(ScopeServer& server, const std::string* client) {
  for (const ConnectionPtr& c : server.connections)
    if (c->phase == Phase::kWaiting && (!client || c->client == *client)) {
      Close(c);
      return true;
    }
  return false;
}

bool MakeRoom(ScopeServer& server, const std::string& client) {
  std::size_t same = 0;
  for (const ConnectionPtr& c : server.connections)
    if (c->client == client) ++same;
  if (same >= kMaxConnectionsPerClient && !Evict(server, &client)) return false;
  if (server.connections.size() >= kMaxConnections && !Evict(server, nullptr)) return false;
  return true;
}

void Admit(ScopeServer& server, Tcp::socket socket) {
  asio::error_code error;
  const Tcp::endpoint remote = socket.remote_endpoint(error);
  if (error) return;
  const std::string client = remote.address().to_string();
  if (!MakeRoom(server, client)) return;  // the socket closes as it goes
  socket.set_option(Tcp::no_delay(true), error);
  socket.set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), error);
  socket.non_blocking(true, error);  // SendAll writes only what the socket takes at once
  auto c = std::make_shared<Connection>(server, std::move(socket), client);
  c->place = server.connections.insert(server.connections.end(), c);
  StartRequest(c);
}

void Accept(ScopeServer& server) {
  server.acceptor.async_accept([&server](const asio::error_code& error, Tcp::socket socket) {
    if (error == asio::error::operation_aborted || !server.acceptor.is_open()) return;
    if (!error) Admit(server, std::move(socket));
    Accept(server);
  });
}

void Listen(ScopeServer& server, const ListenAddress& address) {
  const std::string where = address.host + ":" + std::to_string(address.port);
  const std::string host = address.host == "localhost" ? "127.0.0.1" : address.host;
  asio::error_code error;
  const Tcp::endpoint endpoint(asio::ip::make_address_v4(host, error),
                               static_cast<unsigned short>(address.port));
  if (!error) server.acceptor.open(endpoint.protocol(), error);
  if (!error && ListenMayReuseAddress())
    server.acceptor.set_option(Tcp::acceptor::reuse_address(true), error);
  if (!error) server.acceptor.bind(endpoint, error);
  if (!error) server.acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) Fail("--listen: cannot listen on " + where + ": " + error.message());
  server.port = server.acceptor.local_endpoint().port();
}

}  // namespace

void ServerDeleter::operator()(ScopeServer* server) const {
  asio::post(server->io, [server] {
    asio::error_code ignored;
    server->acceptor.close(ignored);
    while (!server->connections.empty()) Close(server->connections.front());
  });
  if (server->thread.joinable()) server->thread.join();
  delete server;
}

ListenAddress ParseListenAddress(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos)
    FailUsage("--listen: '" + text + "' is not ADDRESS:PORT (e.g. 127.0.0.1:8080)");
  ListenAddress address;
  address.host = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (!ParseWhole(&port, address.port) || address.port < 0 || address.port > 65535)
    FailUsage("--listen: port '" + port + "' is not a number in 0..65535");
  asio::error_code error;
  if (address.host != "localhost") asio::ip::make_address_v4(address.host, error);
  if (address.host.empty() || error)
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
  ScopeServerHandle server(new ScopeServer(hub, token, std::move(actions)));
  Listen(*server, address);
  Accept(*server);
  ScopeServer* raw = server.get();
  // At the usual priority: sending is light, and a page whose frames wait
  // behind busy cores loses them. The heavy work, drawing, is the view
  // thread's, which yields to the acquisition.
  server->thread = std::thread([raw] { raw->io.run(); });
  return server;
}

int BoundPort(const ScopeServer& server) { return server.port; }

}  // namespace kr2270::tool
