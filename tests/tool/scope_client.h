// HTTP for the scope's tests, over Asio with every wait bounded: whole
// requests, raw bytes (for requests no browser would send), event streams,
// and the running tool they talk to.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "run_process.h"
#include "sim/simulator.h"

namespace kr2270::testing {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpReply {
  int status = 0;  // 0: no answer (refused, closed or timed out)
  HttpHeaders headers;  // names in lower case
  std::string body;
  std::string Header(const std::string& lower_name) const;
};

// One connection to 127.0.0.x.
class RawConnection {
 public:
  // `receive_buffer` > 0 shrinks the socket's receive buffer first.
  RawConnection(const std::string& host, int port, int receive_buffer = 0);
  bool connected() const { return connected_; }
  // False when it could not all go within `limit`.
  bool Send(std::string_view bytes, std::chrono::milliseconds limit = std::chrono::seconds(5));
  enum class Read { kData, kTimeout, kClosed };
  // Appends what arrives within `limit`.
  Read ReadSome(std::string& into, std::chrono::milliseconds limit);
  // One answer: its head, then Content-Length bytes or all up to the close.
  HttpReply ReadReply(std::chrono::milliseconds limit = std::chrono::seconds(15));
  // Waits for the server to close; false when it did not within `limit`.
  bool WaitClosed(std::chrono::milliseconds limit);

 private:
  asio::io_context io_;
  asio::ip::tcp::socket socket_;
  std::string pending_;  // read past the last answer
  bool connected_ = false;
};

std::string RequestText(const std::string& method, const std::string& host, int port,
                        const std::string& target, const HttpHeaders& headers = {},
                        const std::string& body = "");

// A request on a connection of its own.
struct HttpClient {
  std::string host;
  int port = 0;
  HttpReply Get(const std::string& target, const HttpHeaders& headers = {}) const;
  HttpReply Post(const std::string& target, const std::string& body,
                 const HttpHeaders& headers = {}) const;
  HttpReply Send(const std::string& method, const std::string& target, const HttpHeaders& headers,
                 const std::string& body) const;
};

// Reads the event stream at `target`, handing each event's data to
// `on_event` until it returns false, the stream ends or `limit` passes.
// Returns the events seen; a refused stream's status goes to *status.
int ReadEvents(const HttpClient& client, const std::string& target,
               const std::function<bool(const std::string&)>& on_event,
               const HttpHeaders& headers = {}, int* status = nullptr,
               std::chrono::milliseconds limit = std::chrono::seconds(60));

// ---- a running kr2270 scope ----------------------------------------------------

// The command that runs the tool: KR2270_SCOPE_COMMAND when set (words
// split at spaces, e.g. "/usr/bin/wine build-win/bin/kr2270.exe"), else the
// tool of this build.
std::vector<std::string> ToolCommand();

// `kr2270 scope` started with `args` and the URL it printed. Without a
// --host among the args it is given a simulated module of the test's own, so
// that the same test drives a tool built for another system. The tests stop
// it with SIGINT, which Wine passes on as Ctrl-C (SIGTERM ends a program
// under Wine without its report).
struct Scope {
  std::unique_ptr<sim::Simulator> module;
  RunningProcess process;
  std::string host;
  int port = 0;
  std::string token;

  explicit Scope(std::vector<std::string> args);
  ~Scope();
  // Ends it as Ctrl-C does and returns its exit status (-1 when it had to be
  // killed); process.buffered then holds its report, with plain newlines.
  int Stop();
  HttpClient Client() const { return {host, port}; }
};

std::vector<std::string> HostArgs(const sim::Simulator& module);

}  // namespace kr2270::testing
