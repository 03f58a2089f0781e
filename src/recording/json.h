// Just enough JSON for the recording's sidecar: a strict parser of untrusted
// text into a small tree, and the quoting of strings for writing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kr2270 {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0.0;
  // A number written without fraction or exponent that fits 64 bits keeps
  // its exact value here (positions and indices exceed a double's 53 bits).
  bool is_unsigned = false;
  std::uint64_t unsigned_value = 0;
  bool is_signed = false;
  std::int64_t signed_value = 0;
  std::string text;
  std::vector<JsonValue> items;  // of an array; of an object its members' values
  std::vector<std::string> names;  // of an object's members, in order

  // The member of an object; null when absent or not an object.
  const JsonValue* Find(std::string_view name) const;
};

inline constexpr int kMaxJsonDepth = 64;

// Parses the whole of text as one JSON value (whitespace around it allowed).
// False, with *value unspecified, for anything else: bad syntax, invalid
// UTF-8 in a string, a nesting deeper than max_depth.
bool ParseJson(std::string_view text, JsonValue* value, int max_depth = kMaxJsonDepth);

// text as a JSON string literal, quotes included; bytes that are not valid
// UTF-8 become U+FFFD.
std::string JsonQuoted(std::string_view text);

// A double as JSON: shortest text that reads back the same; null for values
// that are not finite (JSON has no NaN or infinity).
std::string JsonNumber(double value);

}  // namespace kr2270
