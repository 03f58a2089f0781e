// The live view's HTTP server: the page and its scripts, the data stream
// (Server-Sent Events, one frame per publish), the status, and the page's
// requests. Only 127.0.0.1 (or localhost) is served without a token.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "scope/scope_hub.h"

namespace kr2270::tool {

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
  void operator()(ScopeServer* server) const;  // stops it and waits for its threads
};
using ScopeServerHandle = std::unique_ptr<ScopeServer, ServerDeleter>;

// Binds and starts serving on a thread of its own; throws when the address
// cannot be bound. `token` empty: none asked for.
ScopeServerHandle StartScopeServer(ScopeHub& hub, const ListenAddress& address,
                                   const std::string& token, PageActions actions);

int BoundPort(const ScopeServer& server);

}  // namespace kr2270::tool
