#include "recording/json.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kr2270 {
namespace {

class Parser {
 public:
  Parser(std::string_view text, int max_depth) : text_(text), max_depth_(max_depth) {}

  bool Document(JsonValue* value) {
    SkipSpace();
    if (!Value(value, 0)) return false;
    SkipSpace();
    return at_ == text_.size();
  }

 private:
  bool Value(JsonValue* value, int depth) {
    if (depth > max_depth_ || at_ >= text_.size()) return false;
    switch (text_[at_]) {
      case '{':
        return Object(value, depth);
      case '[':
        return Array(value, depth);
      case '"':
        value->kind = JsonValue::Kind::kString;
        return String(&value->text);
      case 't':
        value->kind = JsonValue::Kind::kBool;
        value->boolean = true;
        return Word("true");
      case 'f':
        value->kind = JsonValue::Kind::kBool;
        return Word("false");
      case 'n':
        value->kind = JsonValue::Kind::kNull;
        return Word("null");
      default:
        return Number(value);
    }
  }

  bool Object(JsonValue* value, int depth) {
    value->kind = JsonValue::Kind::kObject;
    ++at_;
    SkipSpace();
    if (Take('}')) return true;
    for (;;) {
      SkipSpace();
      std::string name;
      if (at_ >= text_.size() || text_[at_] != '"' || !String(&name)) return false;
      SkipSpace();
      if (!Take(':')) return false;
      SkipSpace();
      JsonValue member;
      if (!Value(&member, depth + 1)) return false;
      value->names.push_back(std::move(name));
      value->items.push_back(std::move(member));
      SkipSpace();
      if (Take('}')) return true;
      if (!Take(',')) return false;
    }
  }

  bool Array(JsonValue* value, int depth) {
    value->kind = JsonValue::Kind::kArray;
    ++at_;
    SkipSpace();
    if (Take(']')) return true;
    for (;;) {
      SkipSpace();
      JsonValue item;
      if (!Value(&item, depth + 1)) return false;
      value->items.push_back(std::move(item));
      SkipSpace();
      if (Take(']')) return true;
      if (!Take(',')) return false;
    }
  }

  bool Hex4(std::uint32_t* code) {
    if (text_.size() - at_ < 4) return false;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<std::uint32_t>(c - 'A' + 10);
      else return false;
    }
    *code = v;
    return true;
  }

  static void AppendUtf8(std::string* out, std::uint32_t code) {
    if (code < 0x80) {
      *out += static_cast<char>(code);
    } else if (code < 0x800) {
      *out += static_cast<char>(0xC0 | (code >> 6));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      *out += static_cast<char>(0xE0 | (code >> 12));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      *out += static_cast<char>(0xF0 | (code >> 18));
      *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool Escape(std::string* out) {
    if (at_ >= text_.size()) return false;
    const char c = text_[at_++];
    switch (c) {
      case '"': *out += '"'; return true;
      case '\\': *out += '\\'; return true;
      case '/': *out += '/'; return true;
      case 'b': *out += '\b'; return true;
      case 'f': *out += '\f'; return true;
      case 'n': *out += '\n'; return true;
      case 'r': *out += '\r'; return true;
      case 't': *out += '\t'; return true;
      case 'u': break;
      default: return false;
    }
    std::uint32_t code = 0;
    if (!Hex4(&code)) return false;
    if (code >= 0xD800 && code < 0xDC00) {  // a surrogate pair
      std::uint32_t low = 0;
      if (!Take('\\') || !Take('u') || !Hex4(&low) || low < 0xDC00 || low >= 0xE000) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    } else if (code >= 0xDC00 && code < 0xE000) {
      return false;
    }
    AppendUtf8(out, code);
    return true;
  }

  // One UTF-8 sequence, checked for shortest form and range.
  bool Utf8(std::string* out) {
    const auto lead = static_cast<unsigned char>(text_[at_]);
    int more = 0;
    std::uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (text_.size() - at_ <= static_cast<std::size_t>(more)) return false;
    for (int i = 1; i <= more; ++i) {
      const auto c = static_cast<unsigned char>(text_[at_ + static_cast<std::size_t>(i)]);
      if ((c & 0xC0) != 0x80) return false;
      code = (code << 6) | (c & 0x3F);
    }
    if ((more == 2 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) ||
        (more == 3 && (code < 0x10000 || code > 0x10FFFF))) {
      return false;
    }
    out->append(text_.substr(at_, static_cast<std::size_t>(more) + 1));
    at_ += static_cast<std::size_t>(more) + 1;
    return true;
  }

  bool String(std::string* out) {
    ++at_;  // the opening quote
    while (at_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        ++at_;
        if (!Escape(out)) return false;
      } else if (c < 0x80) {
        *out += static_cast<char>(c);
        ++at_;
      } else if (!Utf8(out)) {
        return false;
      }
    }
    return false;
  }

  bool Digits() {
    const std::size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    return at_ > start;
  }

  bool Number(JsonValue* value) {
    const std::size_t start = at_;
    const bool negative = Take('-');
    if (at_ >= text_.size()) return false;
    if (text_[at_] == '0') {
      ++at_;
    } else if (!Digits()) {
      return false;
    }
    bool integer = true;
    if (Take('.')) {
      integer = false;
      if (!Digits()) return false;
    }
    if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
      integer = false;
      ++at_;
      if (!Take('+')) Take('-');
      if (!Digits()) return false;
    }
    const std::string literal(text_.substr(start, at_ - start));
    value->kind = JsonValue::Kind::kNumber;
    errno = 0;
    value->number = std::strtod(literal.c_str(), nullptr);
    if (!std::isfinite(value->number)) return false;
    if (integer) {
      const char* first = literal.data();
      const char* last = first + literal.size();
      if (!negative) {
        value->is_unsigned =
            std::from_chars(first, last, value->unsigned_value).ec == std::errc{};
      }
      value->is_signed = std::from_chars(first, last, value->signed_value).ec == std::errc{};
    }
    return true;
  }

  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool Take(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  void SkipSpace() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }

  std::string_view text_;
  int max_depth_;
  std::size_t at_ = 0;
};

}  // namespace

const JsonValue* JsonValue::Find(std::string_view name) const {
  if (kind != Kind::kObject) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return &items[i];
  }
  return nullptr;
}

bool ParseJson(std::string_view text, JsonValue* value, int max_depth) {
  *value = JsonValue{};
  return Parser(text, max_depth).Document(value);
}

std::string JsonQuoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      // Let the parser judge one sequence; anything it refuses is replaced.
      std::string one;
      JsonValue probe;
      std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      length = std::min(length, text.size() - i);
      const std::string candidate = "\"" + std::string(text.substr(i, length)) + "\"";
      if (c >= 0xC2 && ParseJson(candidate, &probe, 1)) {
        out.append(text.substr(i, length));
        i += length;
      } else {
        out += "\xEF\xBF\xBD";
        ++i;
      }
    }
  }
  return out + "\"";
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

}  // namespace kr2270
