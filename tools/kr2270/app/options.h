// Parsing and checking of the tool's option values: channel lists, range
// settings and rate codes. Each failure is one line naming the option.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace CLI {
class App;
}

namespace kr2270::tool {

inline constexpr int kAnalogChannels = 8;
inline constexpr int kCounters = 4;
inline constexpr int kEncoders = 2;

struct RateInfo {
  int code;
  double group_rate;  // groups per second delivered to the host
  int decimation;     // module groups per delivered group
};

// The rate codes the library accepts, nullopt for any other.
std::optional<RateInfo> FindRate(int code);
std::string RateCodeList();  // "8, 16, 24, 36, 40, 48, 52, 56"

// --rate takes a rate code ("56") or a group rate ("8000", "8k"); throws a
// usage error naming both for anything else.
RateInfo ParseRate(const std::string& text);
std::string RateTable();  // the codes and their group rates, for --help

// --rate, --channels and --code-bytes, which every streaming subcommand takes.
void AddStreamLayoutOptions(CLI::App& command, std::string& rate, std::string& channels,
                            int& code_bytes);

// --reconnect[=SECONDS] (10 when given bare, 0 = off); `marked` says where
// the command shows the gap.
void AddReconnectOption(CLI::App& command, double& seconds, const std::string& marked);
int ReconnectMs(double seconds);

// Readable checks for numeric options (CLI11's own print the double range).
CLI::Validator PositiveNumber();
CLI::Validator NonNegativeNumber();
// A finite number from `lowest` (included or not) to `highest`; `wanted`
// says what in the error ("'inf' is not a number above 0").
CLI::Validator FiniteNumber(double lowest, bool lowest_allowed, double highest,
                            const std::string& wanted, const std::string& name);

// "1,2,5-8" -> {1,2,5,6,7,8}, each in 1..highest, sorted, no repeats.
// `option` names the option in the error message.
std::vector<int> ParseNumberList(const std::string& text, int highest, const std::string& option);

// Which of 1..N the list selects, element 0 for line 1.
template <std::size_t N>
std::array<bool, N> SelectionOf(const std::vector<int>& numbers) {
  std::array<bool, N> selected{};
  for (int n : numbers) selected[static_cast<std::size_t>(n - 1)] = true;
  return selected;
}

// The plain range code for 10 V full scale, the module's widest.
inline constexpr int kTenVoltRange = 0;

struct RangeSetting {
  int channel;
  int code;
  bool extended;  // set with KR2270_AdSetRangeEx
};

// --range and --range-ex, each "CHANNELS=CODE" ("1-4=2"), repeatable.
struct RangeOptions {
  std::vector<std::string> plain;
  std::vector<std::string> extended;
};

void AddRangeOptions(CLI::App& command, RangeOptions& options, const std::string& when);
std::vector<RangeSetting> ParseRanges(const RangeOptions& options);

}  // namespace kr2270::tool
