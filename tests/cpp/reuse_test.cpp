#include "engine/reuse.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace tessary::engine;

namespace {

CostModel constant_model(double c_id, double c_comp, double alpha) {
  return {ConstantCost{c_id}, ConstantCost{c_comp}, ConstantCost{alpha}};
}

}  // namespace

TEST(Reuse, ThresholdIsStrictAndOverlapClamped) {
  const CostModel m = constant_model(10, 100, 0.5);
  EXPECT_EQ(decide_reuse(0.2, m, std::nullopt).decision, ReuseDecision::Recompute);
  EXPECT_EQ(decide_reuse(0.2000001, m, std::nullopt).decision, ReuseDecision::Reuse);
  const ReuseOutcome high = decide_reuse(1.7, m, std::nullopt);
  EXPECT_EQ(high.overlap_j, 1.0);
  EXPECT_EQ(decide_reuse(-0.2, m, std::nullopt).overlap_j, 0.0);
  const ReuseOutcome nan = decide_reuse(std::numeric_limits<double>::quiet_NaN(), m, std::nullopt);
  EXPECT_TRUE(std::isnan(nan.overlap_j));
  EXPECT_EQ(nan.decision, ReuseDecision::Recompute);
  EXPECT_EQ(economic_delta(0.3, m, std::nullopt), 5.0);
}

TEST(Reuse, ZeroProductNeverReusesButDeltaIsArithmetic) {
  for (const CostModel& m : {constant_model(10, 100, 0), constant_model(10, 0, 0.5), constant_model(10, -0.0, 0.5)}) {
    EXPECT_EQ(decide_reuse(1.0, m, std::nullopt).decision, ReuseDecision::Recompute);
    EXPECT_EQ(economic_delta(1.0, m, std::nullopt), -10.0);
  }
  // A negative product divides with its sign: -1 / -1 = 1, and 1 > 1 is false.
  EXPECT_EQ(decide_reuse(1.0, constant_model(-1, 1, -1), std::nullopt).decision, ReuseDecision::Recompute);
  EXPECT_EQ(decide_reuse(1.0, constant_model(-1, 2, -1), std::nullopt).decision, ReuseDecision::Reuse);
}

TEST(Reuse, LinearCostsEvaluateAtTheRowCount) {
  const CostValue linear = LinearCost{2, 5};
  EXPECT_EQ(evaluate(linear, 0.0), 5.0);
  EXPECT_EQ(evaluate(linear, 1000.0), 2005.0);
  const CostModel m{ConstantCost{1}, linear, LinearCost{0.001, 0}};
  const ReuseOutcome none = decide_reuse(0.5, m, std::nullopt);
  EXPECT_EQ(none.c_comp, 5.0);
  EXPECT_EQ(none.alpha, 0.0);
  const ReuseOutcome rows = decide_reuse(0.5, m, 1000);
  EXPECT_EQ(rows.c_comp, 2005.0);
  EXPECT_EQ(rows.alpha, 1.0);
  EXPECT_EQ(rows.decision, ReuseDecision::Reuse);
}

