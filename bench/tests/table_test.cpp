#include "table.h"

#include <gtest/gtest.h>

namespace kr2270::bench {
namespace {

Row RatioRow(double value, double anchor, Bound bound, double limit) {
  return {"figure", value, "us", "anchor", anchor, bound, GoalOn::kRatio, limit};
}

TEST(TableTest, VerdictFollowsTheBoundOfTheRatioOrTheValue) {
  struct Case {
    const char* what;
    Row row;
    Verdict verdict;
  };
  const Case cases[] = {
      {"ratio at the upper limit", RatioRow(11.0, 10.0, Bound::kAtMost, 1.10), Verdict::kPass},
      {"ratio above the upper limit", RatioRow(11.2, 10.0, Bound::kAtMost, 1.10), Verdict::kShort},
      {"ratio at the lower limit", RatioRow(8.0, 10.0, Bound::kAtLeast, 0.8), Verdict::kPass},
      {"ratio below the lower limit", RatioRow(7.9, 10.0, Bound::kAtLeast, 0.8), Verdict::kShort},
      {"value goal ignores the anchor",
       {"calls", 2.0, "", "floor", 0.5, Bound::kAtMost, GoalOn::kValue, 3.0},
       Verdict::kPass},
      {"value above its limit",
       {"calls", 4.0, "", "floor", 4.0, Bound::kAtMost, GoalOn::kValue, 3.0},
       Verdict::kShort},
      {"zero required, one found",
       {"lost", 1.0, "", "", kNone, Bound::kAtMost, GoalOn::kValue, 0.0},
       Verdict::kShort},
      {"unmeasured figure with a goal", RatioRow(kNone, 10.0, Bound::kAtMost, 1.1),
       Verdict::kShort},
      {"missing anchor for a ratio goal", RatioRow(5.0, kNone, Bound::kAtMost, 1.1),
       Verdict::kShort},
      {"no goal", RatioRow(5.0, 1.0, Bound::kNoGoal, kNone), Verdict::kInfo},
  };
  for (const Case& c : cases) EXPECT_EQ(VerdictOf(c.row), c.verdict) << c.what;
}

TEST(TableTest, ShortByIsTheDistanceToTheGoalAsAFractionOfIt) {
  EXPECT_NEAR(ShortBy(RatioRow(13.2, 10.0, Bound::kAtMost, 1.10)), 0.2, 1e-12);
  EXPECT_NEAR(ShortBy(RatioRow(4.0, 10.0, Bound::kAtLeast, 0.8)), 0.5, 1e-12);
  EXPECT_EQ(ShortBy(RatioRow(10.0, 10.0, Bound::kAtMost, 1.10)), 0.0);
}

TEST(TableTest, RenderedRowCarriesRatioGoalAndVerdict) {
  const std::string text = RenderTable({RatioRow(13.2, 10.0, Bound::kAtMost, 1.10)});
  EXPECT_NE(text.find("| figure | 13.2 us | anchor | 10 us | 1.32x | <= 1.10x | short (20 %) |"),
            std::string::npos)
      << text;
}

TEST(TableTest, MissingNumbersPrintAsDashes) {
  const std::string text =
      RenderTable({{"lost", 0.0, "", "", kNone, Bound::kAtMost, GoalOn::kValue, 0.0}});
  EXPECT_NE(text.find("| lost | 0 | - | - | - | <= 0 | pass |"), std::string::npos) << text;
}

}  // namespace
}  // namespace kr2270::bench
