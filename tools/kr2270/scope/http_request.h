// One HTTP/1.1 request as the scope's server reads it: the head checked
// against limits while it arrives, so that a flood is refused before it is
// held, then parsed into the pieces the routes ask for.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kr2270::tool {

// What a request may hold; each is enforced before the request is routed.
struct RequestLimits {
  std::size_t max_head_bytes = 16 * 1024;  // request line and headers (431)
  std::size_t max_header_lines = 64;       // (431)
  std::size_t max_body_bytes = 64 * 1024;  // (413)
};

struct HttpRequest {
  std::string method;
  std::string path;                                          // decoded, without the query
  std::vector<std::pair<std::string, std::string>> params;   // decoded query, in order
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::size_t content_length = 0;
  bool keep_alive = true;
  std::string body;
};

// The bytes received so far, looked at: the head is incomplete (head_bytes
// 0), complete (head_bytes up to and with its blank line), or refused
// (`refuse` an HTTP status), which a limit decides on an incomplete head too.
struct HeadCheck {
  std::size_t head_bytes = 0;
  int refuse = 0;
  std::string why;
};
HeadCheck CheckHead(std::string_view received, const RequestLimits& limits);

// Parses a complete head. 0 when it is sound, else the status to refuse
// with and `why`: 400 malformed, 413 body over the limit, 501 a transfer
// coding, 505 not HTTP/1.x.
int ParseHead(std::string_view head, const RequestLimits& limits, HttpRequest& request,
              std::string& why);

// Empty when absent.
std::string HeaderValue(const HttpRequest& request, std::string_view lower_name);
bool HasHeader(const HttpRequest& request, std::string_view lower_name);
const std::string* FindParam(const HttpRequest& request, std::string_view name);

const char* StatusReason(int status);

}  // namespace kr2270::tool
