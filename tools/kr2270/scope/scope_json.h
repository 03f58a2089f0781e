// Small JSON writers for the live view's messages and the recording's
// metadata file. Values only go out; the tool never parses JSON.
#pragma once

#include <string>

namespace kr2270::tool {

// "text" with quotes, backslashes and control characters escaped.
std::string JsonString(const std::string& text);

// Shortest text that reads back as `value` to `digits` significant digits;
// null for NaN and infinities, which JSON cannot carry.
std::string JsonNumber(double value, int digits = 9);
// The same, appended: a frame holds hundreds of thousands of numbers.
void AppendJsonNumber(std::string& out, double value, int digits = 9);

}  // namespace kr2270::tool
