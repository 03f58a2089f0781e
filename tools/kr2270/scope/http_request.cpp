#include "scope/http_request.h"

#include <algorithm>
#include <charconv>

namespace kr2270::tool {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerText(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), Lower);
  return out;
}

bool SameWord(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool TokenChar(char c) {
  static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={} \t";
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte < 0x7f && kSeparators.find(c) == std::string_view::npos;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX decoded, and '+' as a space in a query; false on a broken escape.
bool Decode(std::string_view text, bool query, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size()) return false;
      const int high = HexDigit(text[i + 1]);
      const int low = HexDigit(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += query && text[i] == '+' ? ' ' : text[i];
    }
  }
  return true;
}

bool ParseQuery(std::string_view query, HttpRequest& request) {
  while (!query.empty()) {
    const auto end = std::min(query.find('&'), query.size());
    const std::string_view item = query.substr(0, end);
    query.remove_prefix(std::min(end + 1, query.size()));
    if (item.empty()) continue;
    const auto equals = std::min(item.find('='), item.size());
    std::string name;
    std::string value;
    if (!Decode(item.substr(0, equals), true, name)) return false;
    if (equals < item.size() && !Decode(item.substr(equals + 1), true, value)) return false;
    request.params.emplace_back(std::move(name), std::move(value));
  }
  return true;
}

int ParseRequestLine(std::string_view line, HttpRequest& request, std::string& why) {
  const auto first = line.find(' ');
  const auto last = line.rfind(' ');
  if (first == std::string_view::npos || first == last) {
    why = "malformed request line";
    return 400;
  }
  request.method = std::string(line.substr(0, first));
  const std::string_view target = line.substr(first + 1, last - first - 1);
  const std::string_view version = line.substr(last + 1);
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    why = "only HTTP/1.0 and 1.1 are served";
    return 505;
  }
  request.keep_alive = version == "HTTP/1.1";
  if (request.method.empty() || !std::all_of(request.method.begin(), request.method.end(), TokenChar) ||
      target.empty() || target.front() != '/') {
    why = "malformed request line";
    return 400;
  }
  const auto question = std::min(target.find('?'), target.size());
  if (!Decode(target.substr(0, question), false, request.path) ||
      (question < target.size() && !ParseQuery(target.substr(question + 1), request))) {
    why = "malformed escape in the target";
    return 400;
  }
  return 0;
}

int ParseHeaderLine(std::string_view line, HttpRequest& request, std::string& why) {
  const auto colon = line.find(':');
  const std::string_view name = line.substr(0, colon);
  // A folded line or a space before the colon can smuggle a header past a proxy.
  if (colon == std::string_view::npos || name.empty() ||
      !std::all_of(name.begin(), name.end(), TokenChar)) {
    why = "malformed header line";
    return 400;
  }
  request.headers.emplace_back(LowerText(name), std::string(Trim(line.substr(colon + 1))));
  return 0;
}

int ReadBodyHeaders(const RequestLimits& limits, HttpRequest& request, std::string& why) {
  if (HasHeader(request, "transfer-encoding")) {
    why = "transfer codings are not accepted; send Content-Length";
    return 501;
  }
  bool seen = false;
  for (const auto& [name, value] : request.headers) {
    if (name != "content-length") continue;
    std::size_t length = 0;
    const auto result = std::from_chars(value.data(), value.data() + value.size(), length);
    if (value.empty() || result.ec == std::errc::invalid_argument ||
        result.ptr != value.data() + value.size() || (seen && length != request.content_length)) {
      why = "malformed Content-Length";
      return 400;
    }
    if (result.ec == std::errc::result_out_of_range || length > limits.max_body_bytes) {
      why = "request body larger than " + std::to_string(limits.max_body_bytes) + " bytes";
      return 413;
    }
    request.content_length = length;
    seen = true;
  }
  return 0;
}

void ReadConnectionHeader(HttpRequest& request) {
  const std::string connection = HeaderValue(request, "connection");
  if (SameWord(connection, "close")) request.keep_alive = false;
  if (SameWord(connection, "keep-alive")) request.keep_alive = true;
}

}  // namespace

HeadCheck CheckHead(std::string_view received, const RequestLimits& limits) {
  HeadCheck check;
  std::size_t lines = 0;
  std::size_t at = 0;
  for (std::size_t newline; (newline = received.find('\n', at)) != std::string_view::npos;
       at = newline + 1) {
    const std::string_view line = received.substr(at, newline - at);
    if (line.empty() || line == "\r") {
      // Blank lines before the request line are tolerated, as RFC 9112 asks.
      if (lines == 0) continue;
      check.head_bytes = newline + 1;
      break;
    }
    ++lines;
  }
  const std::size_t held = check.head_bytes > 0 ? check.head_bytes : received.size();
  if (held > limits.max_head_bytes) {
    check = {0, 431, "request head larger than " + std::to_string(limits.max_head_bytes) + " bytes"};
  } else if (lines > limits.max_header_lines + 1) {
    check = {0, 431, "more than " + std::to_string(limits.max_header_lines) + " header lines"};
  }
  return check;
}

int ParseHead(std::string_view head, const RequestLimits& limits, HttpRequest& request,
              std::string& why) {
  request = {};
  bool first = true;
  for (std::size_t at = 0, newline; (newline = head.find('\n', at)) != std::string_view::npos;
       at = newline + 1) {
    std::string_view line = head.substr(at, newline - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      if (first) continue;
      break;
    }
    const int status = first ? ParseRequestLine(line, request, why) : ParseHeaderLine(line, request, why);
    if (status != 0) return status;
    first = false;
  }
  if (first) {
    why = "empty request";
    return 400;
  }
  ReadConnectionHeader(request);
  return ReadBodyHeaders(limits, request, why);
}

std::string HeaderValue(const HttpRequest& request, std::string_view lower_name) {
  for (const auto& [name, value] : request.headers)
    if (name == lower_name) return value;
  return {};
}

bool HasHeader(const HttpRequest& request, std::string_view lower_name) {
  return std::any_of(request.headers.begin(), request.headers.end(),
                     [&](const auto& header) { return header.first == lower_name; });
}

const std::string* FindParam(const HttpRequest& request, std::string_view name) {
  for (const auto& [key, value] : request.params)
    if (key == name) return &value;
  return nullptr;
}

const char* StatusReason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
  }
}

}  // namespace kr2270::tool
