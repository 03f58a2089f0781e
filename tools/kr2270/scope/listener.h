// Opening a listening socket, for the scope's server and /metrics alike.
#pragma once

#include <asio.hpp>

#include <string>

#include "app/tool.h"
#include "system/system.h"

namespace kr2270::tool {

// Binds `acceptor` to HOST:PORT (an IPv4 address or localhost; port 0: any
// free one) and listens; returns the port bound. Never SO_REUSEPORT, and
// SO_REUSEADDR only where it cannot let a second server share the port: a
// second run on the same port fails instead of taking half the clients.
// Fails (the tool's failure, named by `option`) when it cannot.
inline int OpenListener(asio::ip::tcp::acceptor& acceptor, const std::string& host, int port,
                        const std::string& option) {
  const std::string where = host + ":" + std::to_string(port);
  asio::error_code error;
  const asio::ip::tcp::endpoint endpoint(
      asio::ip::make_address_v4(host == "localhost" ? "127.0.0.1" : host, error),
      static_cast<unsigned short>(port));
  if (!error) acceptor.open(endpoint.protocol(), error);
  if (!error && ListenMayReuseAddress())
    acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) Fail(option + ": cannot listen on " + where + ": " + error.message());
  return acceptor.local_endpoint().port();
}

}  // namespace kr2270::tool
