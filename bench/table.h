// The result table: every figure beside the anchor measured in the same run,
// their ratio, the goal and whether it was met.
#pragma once

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace kr2270::bench {

inline constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

enum class Bound { kNoGoal, kAtMost, kAtLeast };
// Most goals bind the ratio to the anchor; a few bind the figure itself
// (counts, a share of a core, a latency).
enum class GoalOn { kRatio, kValue };

struct Row {
  std::string figure;
  double value = kNone;
  std::string unit;
  std::string anchor;  // what the figure is compared with
  double anchor_value = kNone;
  Bound bound = Bound::kNoGoal;
  GoalOn on = GoalOn::kRatio;
  double limit = kNone;
};

enum class Verdict { kPass, kShort, kInfo };

double RatioOf(const Row& row);  // NaN without an anchor
Verdict VerdictOf(const Row& row);
// How far a short figure is from its goal, as a fraction of the goal (0.12 =
// 12 % short); 0 when it passes or has no goal.
double ShortBy(const Row& row);

std::string FormatNumber(double value);
std::string GoalText(const Row& row);
// The table as Markdown.
std::string RenderTable(const std::vector<Row>& rows);

}  // namespace kr2270::bench
