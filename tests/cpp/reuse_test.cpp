// Edges of the reuse rule the Python property tests do not reach: the strict
// threshold, clamping, and products of zero or negative sign. Jaccard, linear
// costs and the decision texts are checked there.
#include "engine/reuse.hpp"

#include <gtest/gtest.h>

using namespace tessary::engine;

namespace {

CostModel constant_model(double c_id, double c_comp, double alpha) {
  return {ConstantCost{c_id}, ConstantCost{c_comp}, ConstantCost{alpha}};
}

TEST(Reuse, ThresholdIsStrictAndOverlapClamped) {
  const CostModel m = constant_model(10, 100, 0.5);
  EXPECT_EQ(decide_reuse(0.2, m, std::nullopt).decision, ReuseDecision::Recompute);
  EXPECT_EQ(decide_reuse(0.2000001, m, std::nullopt).decision, ReuseDecision::Reuse);
  EXPECT_EQ(decide_reuse(1.7, m, std::nullopt).overlap_j, 1.0);
  EXPECT_EQ(decide_reuse(-0.2, m, std::nullopt).overlap_j, 0.0);
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

}  // namespace
