#include "scope/scope_json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace kr2270::tool {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void AppendJsonNumber(std::string& out, double value, int digits) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char text[32];
  const auto result =
      std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits);
  out.append(text, result.ptr);
}

std::string JsonNumber(double value, int digits) {
  std::string out;
  AppendJsonNumber(out, value, digits);
  return out;
}

}  // namespace kr2270::tool
