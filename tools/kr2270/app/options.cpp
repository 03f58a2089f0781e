#include "app/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "app/tool.h"

namespace kr2270::tool {
namespace {

constexpr std::array<RateInfo, 8> kRates = {{
    {8, 256000.0, 1},
    {16, 16000.0, 2},
    {24, 128000.0, 1},
    {36, 32000.0, 1},
    {40, 64000.0, 1},
    {48, 1000.0, 4},
    {52, 4000.0, 1},
    {56, 8000.0, 1},
}};

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::optional<int> ParseInt(const std::string& text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

std::vector<std::string> SplitOn(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t at = text.find(separator, begin);
    parts.push_back(Trimmed(text.substr(begin, at - begin)));
    if (at == std::string::npos) return parts;
    begin = at + 1;
  }
}

int ParseListNumber(const std::string& text, int highest, const std::string& option) {
  const auto number = ParseInt(text);
  if (!number) FailUsage(option + ": '" + text + "' is not a number");
  if (*number < 1 || *number > highest)
    FailUsage(option + ": " + text + " is outside 1.." + std::to_string(highest));
  return *number;
}

void AddRangeSettings(std::vector<RangeSetting>& settings, const std::vector<std::string>& texts,
                      bool extended, const std::string& option) {
  for (const std::string& text : texts) {
    const auto equals = text.find('=');
    if (equals == std::string::npos)
      FailUsage(option + ": '" + text + "' is not CHANNELS=CODE (e.g. 1-4=2)");
    const auto code = ParseInt(Trimmed(text.substr(equals + 1)));
    if (!code || *code < 0 || *code > 255)
      FailUsage(option + ": range code in '" + text + "' is not a number in 0..255");
    for (int channel : ParseNumberList(text.substr(0, equals), kAnalogChannels, option))
      settings.push_back({channel, *code, extended});
  }
}

}  // namespace

std::optional<RateInfo> FindRate(int code) {
  for (const RateInfo& rate : kRates)
    if (rate.code == code) return rate;
  return std::nullopt;
}

std::string RateCodeList() {
  std::string list;
  for (const RateInfo& rate : kRates) list += (list.empty() ? "" : ", ") + std::to_string(rate.code);
  return list;
}

RateInfo ParseRate(const std::string& text) {
  std::string number = Trimmed(text);
  int scale = 1;
  if (!number.empty() && (number.back() == 'k' || number.back() == 'K')) {
    number.pop_back();
    scale = 1000;
  }
  if (const auto value = ParseInt(number); value && *value <= 1000000) {
    const double asked = static_cast<double>(*value) * scale;
    for (const RateInfo& rate : kRates)
      if ((scale == 1 && rate.code == *value) || rate.group_rate == asked) return rate;
  }
  FailUsage("--rate " + text + " is neither a rate code nor a group rate; use one of " +
            RateTable());
}

std::string RateTable() {
  std::string table;
  for (const RateInfo& rate : kRates)
    table += (table.empty() ? "" : ", ") + std::to_string(rate.code) + " = " +
             std::to_string(static_cast<int>(rate.group_rate)) + "/s";
  return table;
}

// A finite number within [lowest, highest] (or above lowest when it is
// excluded); "inf" and "nan" parse as doubles but count nothing.
CLI::Validator FiniteNumber(double lowest, bool lowest_allowed, double highest,
                            const std::string& wanted, const std::string& name) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        double value = 0.0;
        const bool ok = CLI::detail::lexical_cast(text, value) && std::isfinite(value) &&
                        (lowest_allowed ? value >= lowest : value > lowest) && value <= highest;
        return ok ? std::string() : "'" + text + "' is not " + wanted;
      },
      name);
}

CLI::Validator PositiveNumber() {
  return FiniteNumber(0.0, false, std::numeric_limits<double>::max(), "a number above 0",
                      "POSITIVE");
}

CLI::Validator NonNegativeNumber() {
  return FiniteNumber(0.0, true, std::numeric_limits<double>::max(), "a number of 0 or more",
                      "NONNEGATIVE");
}

std::vector<int> ParseNumberList(const std::string& text, int highest, const std::string& option) {
  if (Trimmed(text).empty()) FailUsage(option + ": empty list");
  std::vector<int> numbers;
  for (const std::string& item : SplitOn(text, ',')) {
    if (item.empty()) FailUsage(option + ": empty item in '" + text + "'");
    const auto dash = item.find('-');
    if (dash == std::string::npos) {
      numbers.push_back(ParseListNumber(item, highest, option));
      continue;
    }
    const int first = ParseListNumber(Trimmed(item.substr(0, dash)), highest, option);
    const int last = ParseListNumber(Trimmed(item.substr(dash + 1)), highest, option);
    if (first > last) FailUsage(option + ": range '" + item + "' runs backwards");
    for (int n = first; n <= last; ++n) numbers.push_back(n);
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  return numbers;
}

void AddRangeOptions(CLI::App& command, RangeOptions& options, const std::string& when) {
  command
      .add_option("--range", options.plain,
                  "input range" + when + " (1 = 5 V, 2 = 2 V, 3 = 1 V, 0 or else 10 V), repeatable")
      ->type_name("CHANNELS=CODE");
  command
      .add_option("--range-ex", options.extended,
                  "extended input range" + when + " (1 = 1 V, 2 = 0.1 V, 3 = 0.01 V), repeatable")
      ->type_name("CHANNELS=CODE");
}

std::vector<RangeSetting> ParseRanges(const RangeOptions& options) {
  std::vector<RangeSetting> settings;
  AddRangeSettings(settings, options.plain, false, "--range");
  AddRangeSettings(settings, options.extended, true, "--range-ex");
  return settings;
}

void AddStreamLayoutOptions(CLI::App& command, std::string& rate, std::string& channels,
                            int& code_bytes) {
  command.add_option("--rate", rate, "rate code or group rate (8k = 8000): " + RateTable())
      ->type_name("RATE")
      ->capture_default_str();
  command.add_option("--channels", channels, "analog channels, e.g. 1,2,5-8, or none")
      ->type_name("LIST")
      ->capture_default_str();
  command.add_option("--code-bytes", code_bytes, "bytes per analog code in the stream")
      ->check(CLI::IsMember({2, 4}))
      ->capture_default_str();
}

void AddReconnectOption(CLI::App& command, double& seconds, const std::string& marked) {
  // An option with an optional value rather than a flag, so that
  // "--reconnect 5" reads as "--reconnect=5".
  command
      .add_option("--reconnect", seconds,
                  "off unless given (the 10 shown is what a bare --reconnect means): when the "
                  "module drops the stream, reconnect for up to SECONDS, restore the settings "
                  "and go on; " + marked)
      ->expected(0, 1)
      ->default_str("10")
      ->type_name("[SECONDS]")
      ->check(FiniteNumber(0.0, true, 3600.0, "a number of seconds in 0..3600", "SECONDS"));
}

int ReconnectMs(double seconds) { return static_cast<int>(std::lround(seconds * 1000.0)); }

}  // namespace kr2270::tool
