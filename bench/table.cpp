#include "table.h"

#include <cstdio>

namespace kr2270::bench {
namespace {

double Subject(const Row& row) { return row.on == GoalOn::kRatio ? RatioOf(row) : row.value; }

std::string WithUnit(double value, const std::string& unit) {
  if (std::isnan(value)) return "-";
  return unit.empty() ? FormatNumber(value) : FormatNumber(value) + " " + unit;
}

const char* VerdictText(Verdict v) {
  switch (v) {
    case Verdict::kPass:
      return "pass";
    case Verdict::kShort:
      return "short";
    case Verdict::kInfo:
      break;
  }
  return "info";
}

}  // namespace

double RatioOf(const Row& row) {
  if (std::isnan(row.anchor_value) || std::isnan(row.value) || row.anchor_value == 0.0) {
    return kNone;
  }
  return row.value / row.anchor_value;
}

Verdict VerdictOf(const Row& row) {
  const double subject = Subject(row);
  if (row.bound == Bound::kNoGoal || std::isnan(row.limit)) return Verdict::kInfo;
  // A figure that could not be measured has not met its goal.
  if (std::isnan(subject)) return Verdict::kShort;
  const bool met = row.bound == Bound::kAtMost ? subject <= row.limit : subject >= row.limit;
  return met ? Verdict::kPass : Verdict::kShort;
}

double ShortBy(const Row& row) {
  if (VerdictOf(row) != Verdict::kShort) return 0.0;
  const double subject = Subject(row);
  if (std::isnan(subject)) return 1.0;
  if (row.limit == 0.0) return std::fabs(subject);
  return row.bound == Bound::kAtMost ? subject / row.limit - 1.0 : 1.0 - subject / row.limit;
}

std::string FormatNumber(double value) {
  if (std::isnan(value)) return "-";
  char text[32];
  const double magnitude = std::fabs(value);
  if (value == std::floor(value) && magnitude < 1e9) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else if (magnitude >= 100.0) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else if (magnitude >= 10.0) {
    std::snprintf(text, sizeof text, "%.1f", value);
  } else {
    std::snprintf(text, sizeof text, "%.2f", value);
  }
  return text;
}

std::string GoalText(const Row& row) {
  if (row.bound == Bound::kNoGoal || std::isnan(row.limit)) return "-";
  const char* sign = row.bound == Bound::kAtMost ? "<= " : ">= ";
  if (row.on == GoalOn::kRatio) return sign + FormatNumber(row.limit) + "x";
  return sign + WithUnit(row.limit, row.unit);
}

std::string RenderTable(const std::vector<Row>& rows) {
  std::string out =
      "| Figure | Value | Anchor | Anchor value | Ratio | Goal | Result |\n"
      "|---|---|---|---|---|---|---|\n";
  for (const Row& row : rows) {
    const double ratio = RatioOf(row);
    std::string result = VerdictText(VerdictOf(row));
    if (VerdictOf(row) == Verdict::kShort) {
      char by[32];
      std::snprintf(by, sizeof by, " (%.0f %%)", ShortBy(row) * 100.0);
      result += by;
    }
    out += "| " + row.figure + " | " + WithUnit(row.value, row.unit) + " | " +
           (row.anchor.empty() ? "-" : row.anchor) + " | " + WithUnit(row.anchor_value, row.unit) +
           " | " + (std::isnan(ratio) ? "-" : FormatNumber(ratio) + "x") + " | " + GoalText(row) +
           " | " + result + " |\n";
  }
  return out;
}

}  // namespace kr2270::bench
