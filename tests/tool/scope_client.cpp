#include "scope_client.h"

#include <signal.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <regex>
#include <sstream>

namespace kr2270::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Runs the loop until `done` or `limit`; what is still running then is
// cancelled, and false returned.
bool RunUntil(asio::io_context& io, asio::ip::tcp::socket& socket, const bool& done,
              std::chrono::milliseconds limit) {
  io.restart();
  const auto deadline = Clock::now() + limit;
  while (!done && Clock::now() < deadline) io.run_one_for(deadline - Clock::now());
  if (done) return true;
  asio::error_code ignored;
  socket.cancel(ignored);
  io.restart();
  io.run();
  return false;
}

bool ParseHead(const std::string& head, HttpReply& reply) {
  std::size_t at = head.find("\r\n");
  const std::string status_line = head.substr(0, at);
  if (status_line.rfind("HTTP/1.", 0) != 0 || status_line.size() < 12) return false;
  reply.status = std::stoi(status_line.substr(9, 3));
  while (at != std::string::npos && at + 2 < head.size()) {
    const std::size_t end = head.find("\r\n", at + 2);
    const std::string line = head.substr(at + 2, end - at - 2);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      reply.headers.emplace_back(Lower(line.substr(0, colon)), value);
    }
    at = end;
  }
  return true;
}

}  // namespace

std::string HttpReply::Header(const std::string& lower_name) const {
  for (const auto& [name, value] : headers)
    if (name == lower_name) return value;
  return {};
}

RawConnection::RawConnection(const std::string& host, int port, int receive_buffer)
    : socket_(io_) {
  asio::error_code error;
  socket_.open(asio::ip::tcp::v4(), error);
  if (!error && receive_buffer > 0)
    socket_.set_option(asio::socket_base::receive_buffer_size(receive_buffer), error);
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address_v4(host, error),
                                         static_cast<unsigned short>(port));
  if (!error) socket_.connect(endpoint, error);
  connected_ = !error;
}

bool RawConnection::Send(std::string_view bytes, std::chrono::milliseconds limit) {
  if (!connected_) return false;
  bool done = false;
  asio::error_code result;
  asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()),
                    [&](const asio::error_code& error, std::size_t) {
                      result = error;
                      done = true;
                    });
  return RunUntil(io_, socket_, done, limit) && !result;
}

RawConnection::Read RawConnection::ReadSome(std::string& into, std::chrono::milliseconds limit) {
  if (!pending_.empty()) {
    into += pending_;
    pending_.clear();
    return Read::kData;
  }
  if (!connected_) return Read::kClosed;
  std::array<char, 65536> buffer{};
  bool done = false;
  asio::error_code result;
  std::size_t got = 0;
  socket_.async_read_some(asio::buffer(buffer), [&](const asio::error_code& error, std::size_t n) {
    result = error;
    got = n;
    done = true;
  });
  if (!RunUntil(io_, socket_, done, limit)) return Read::kTimeout;
  into.append(buffer.data(), got);
  if (result && got == 0) {
    connected_ = false;
    return Read::kClosed;
  }
  return Read::kData;
}

HttpReply RawConnection::ReadReply(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  const auto left = [&] {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
  };
  std::string data;
  std::size_t head_end;
  while ((head_end = data.find("\r\n\r\n")) == std::string::npos)
    if (ReadSome(data, left()) != Read::kData) return {};
  HttpReply reply;
  if (!ParseHead(data.substr(0, head_end + 2), reply)) return {};
  std::string body = data.substr(head_end + 4);
  const std::string length = reply.Header("content-length");
  if (!length.empty()) {
    const auto want = static_cast<std::size_t>(std::stoull(length));
    while (body.size() < want)
      if (ReadSome(body, left()) != Read::kData) return {};
    pending_ = body.substr(want);
    body.resize(want);
  } else {
    while (ReadSome(body, left()) == Read::kData) {
    }
  }
  reply.body = std::move(body);
  return reply;
}

bool RawConnection::WaitClosed(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::string ignored;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    const Read read = ReadSome(ignored, left);
    if (read == Read::kClosed) return true;
    if (read == Read::kTimeout) return false;
    ignored.clear();
  }
}

std::string RequestText(const std::string& method, const std::string& host, int port,
                        const std::string& target, const HttpHeaders& headers,
                        const std::string& body) {
  std::string text = method + " " + target + " HTTP/1.1\r\n";
  bool has_host = false;
  for (const auto& [name, value] : headers) {
    text += name + ": " + value + "\r\n";
    has_host = has_host || Lower(name) == "host";
  }
  if (!has_host) text += "Host: " + host + ":" + std::to_string(port) + "\r\n";
  if (method == "POST") text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "Connection: close\r\n\r\n" + body;
}

HttpReply HttpClient::Send(const std::string& method, const std::string& target,
                           const HttpHeaders& headers, const std::string& body) const {
  RawConnection connection(host, port);
  if (!connection.Send(RequestText(method, host, port, target, headers, body))) return {};
  return connection.ReadReply();
}

HttpReply HttpClient::Get(const std::string& target, const HttpHeaders& headers) const {
  return Send("GET", target, headers, "");
}

HttpReply HttpClient::Post(const std::string& target, const std::string& body,
                           const HttpHeaders& headers) const {
  return Send("POST", target, headers, body);
}

int ReadEvents(const HttpClient& client, const std::string& target,
               const std::function<bool(const std::string&)>& on_event, const HttpHeaders& headers,
               int* status, std::chrono::milliseconds limit) {
  RawConnection connection(client.host, client.port);
  if (!connection.Send(RequestText("GET", client.host, client.port, target, headers))) return 0;
  const auto deadline = Clock::now() + limit;
  std::string data;
  int events = 0;
  bool head_seen = false;
  std::size_t scanned = 0;  // where the search for the end of an event goes on
  while (Clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (connection.ReadSome(data, left) != RawConnection::Read::kData) break;
    if (!head_seen) {
      const std::size_t end = data.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      HttpReply reply;
      ParseHead(data.substr(0, end + 2), reply);
      if (status) *status = reply.status;
      if (reply.status != 200) return 0;
      data.erase(0, end + 4);
      head_seen = true;
    }
    // Each byte is looked at once: frames of half a megabyte arrive in pieces.
    for (std::size_t end; (end = data.find("\n\n", scanned)) != std::string::npos;) {
      const bool is_data = data.compare(0, 6, "data: ") == 0;  // else a keep-alive comment
      const std::string event = is_data ? data.substr(6, end - 6) : std::string();
      data.erase(0, end + 2);
      scanned = 0;
      if (!is_data) continue;
      ++events;
      if (!on_event(event)) return events;
    }
    scanned = data.empty() ? 0 : data.size() - 1;
  }
  return events;
}

// ---- a running kr2270 scope ----------------------------------------------------

std::vector<std::string> ToolCommand() {
  const char* command = std::getenv("KR2270_SCOPE_COMMAND");
  if (command == nullptr || *command == '\0') return {KR2270_TOOL_PATH};
  std::vector<std::string> words;
  std::istringstream split(command);
  for (std::string word; split >> word;) words.push_back(word);
  return words;
}

std::vector<std::string> HostArgs(const sim::Simulator& module) {
  return {"--host", "127.0.0.1", "--port", std::to_string(module.command_port()), "--data-port",
          std::to_string(module.data_port())};
}

Scope::Scope(std::vector<std::string> args) {
  if (std::find(args.begin(), args.end(), "--host") == args.end()) {
    module = std::make_unique<sim::Simulator>();
    if (module->Start() != 0) return;
    const auto host = HostArgs(*module);
    args.insert(args.end(), host.begin(), host.end());
  }
  std::vector<std::string> argv = ToolCommand();
  argv.insert(argv.end(), {"scope", "--seconds", "120"});
  argv.insert(argv.end(), args.begin(), args.end());
  process = StartProcess(argv);
  std::string line = ReadLine(process, std::chrono::seconds(60));
  if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows' text mode
  std::smatch m;
  const std::regex url(R"(scope: http://([0-9.]+):(\d+)/(\?token=([0-9a-zA-Z]+))?)");
  if (std::regex_match(line, m, url)) {
    host = m[1];
    port = std::stoi(m[2]);
    token = m[4];
  }
}

int Scope::Stop() {
  const int status = StopProcess(process, SIGINT, std::chrono::seconds(20));
  std::erase(process.buffered, '\r');  // Windows' text mode
  return status;
}

Scope::~Scope() {
  if (process.pid > 0) Stop();
}

}  // namespace kr2270::testing
