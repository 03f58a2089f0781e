// The live view's HTTP server: the page and its scripts, the data stream
// (Server-Sent Events, one frame per publish), the status, and the page's
// requests. Only 127.0.0.1 (or localhost) is served without a token.
//
// Every connection is served by one I/O thread without blocking: a client
// that sends slowly, or not at all, holds a few kilobytes and never a
// thread, and the limits below hold before a request is routed.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "scope/http_request.h"
#include "scope/scope_hub.h"

namespace kr2270::tool {

inline constexpr RequestLimits kRequestLimits{16 * 1024, 64, 64 * 1024};
// From a connection's start, or the end of its last answer, to a whole
// request: a client that trickles its head is let go.
inline constexpr auto kRequestTimeout = std::chrono::seconds(10);
// Connections at once, and from one address. A new connection beyond
// either takes the place of the oldest one (of that address) that is still
// waiting for its request; with none such it is closed.
inline constexpr std::size_t kMaxConnections = 128;
inline constexpr std::size_t kMaxConnectionsPerClient = 32;
// An answer or a frame that the client does not take within this ends its
// connection.
inline constexpr auto kWriteTimeout = std::chrono::seconds(5);
// How long a request from the page waits for the acquisition to take it.
inline constexpr auto kJobTimeout = std::chrono::seconds(10);

struct ListenAddress {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port
};

// "ADDR:PORT" (IPv4 or localhost); throws a usage error otherwise.
ListenAddress ParseListenAddress(const std::string& text);

bool NeedsToken(const ListenAddress& address);

// 32 hex digits from the system's random source.
std::string MakeToken();

// What the page may ask of the acquisition; each runs on the acquisition
// thread and answers JSON.
struct PageActions {
  std::function<PageReply()> start_recording;
  std::function<PageReply()> stop_recording;
  std::function<PageReply(const std::string& ranges)> set_ranges;
  std::function<PageReply(const std::string& rate)> set_rate;
};

struct ScopeServer;

struct ServerDeleter {
  void operator()(ScopeServer* server) const;  // closes every connection and waits for its thread
};
using ScopeServerHandle = std::unique_ptr<ScopeServer, ServerDeleter>;

// Binds and starts serving on a thread of its own; throws when the address
// cannot be bound. `token` empty: none asked for.
ScopeServerHandle StartScopeServer(ScopeHub& hub, const ListenAddress& address,
                                   const std::string& token, PageActions actions);

int BoundPort(const ScopeServer& server);

}  // namespace kr2270::tool
