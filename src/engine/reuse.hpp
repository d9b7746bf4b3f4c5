#pragma once
// Reuse economics: chunk-set overlap, a three-figure cost model, the
// reuse-or-recompute rule and the estimated saving of reuse. Pure arithmetic.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace tessary::engine {

// One cost figure: a constant, or base + rows * per_row.
struct ConstantCost {
  double value = 0.0;
};
struct LinearCost {
  double per_row = 0.0;
  double base = 0.0;
};
using CostValue = std::variant<ConstantCost, LinearCost>;

// Evaluated at row count `rows` (0.0 when the caller gave none).
double evaluate(const CostValue& cost, double rows) noexcept;

struct CostModel {
  CostValue c_id;    // what reuse itself costs
  CostValue c_comp;  // what computing from scratch costs
  CostValue alpha;   // share of the compute cost saved per unit of overlap
};

enum class ReuseDecision { Reuse, Recompute, Hybrid };
std::string_view to_text(ReuseDecision decision) noexcept;

// The decision with the figures it was taken from, all evaluated at the row count.
struct ReuseOutcome {
  ReuseDecision decision = ReuseDecision::Recompute;
  double overlap_j = 0.0;  // clamped
  double alpha = 0.0;
  double c_id = 0.0;
  double c_comp = 0.0;
};

// |U ∩ V| / |U ∪ V| over distinct identifiers compared byte for byte; 1.0 for two empty sets.
double jaccard_similarity(std::span<const std::string> set1, std::span<const std::string> set2);

// Into [0, 1]; NaN stays NaN.
double clamp_overlap(double overlap_j) noexcept;

// Reuse iff J > C_id / (α · C_comp), strictly; a zero product never reuses.
ReuseOutcome decide_reuse(double overlap_j, const CostModel& model, std::optional<std::uint64_t> row_count) noexcept;

// ΔC = J · (C_comp · α) − C_id, in exactly that grouping; positive means reuse saves.
double economic_delta(double overlap_j, const CostModel& model, std::optional<std::uint64_t> row_count) noexcept;

}  // namespace tessary::engine
