#include "engine/reuse.hpp"

#include <limits>
#include <string_view>
#include <unordered_set>

namespace tessary::engine {

namespace {

double rows_of(std::optional<std::uint64_t> row_count) noexcept {
  return row_count ? static_cast<double>(*row_count) : 0.0;
}

struct Evaluated {
  double c_id, c_comp, alpha;
};

Evaluated evaluate_model(const CostModel& model, double rows) noexcept {
  return {evaluate(model.c_id, rows), evaluate(model.c_comp, rows), evaluate(model.alpha, rows)};
}

}  // namespace

double evaluate(const CostValue& cost, double rows) noexcept {
  if (const auto* c = std::get_if<ConstantCost>(&cost)) return c->value;
  const auto& l = std::get<LinearCost>(cost);
  // One product, then one sum (the build disables fused multiply-add contraction).
  return l.base + rows * l.per_row;
}

std::string_view to_text(ReuseDecision decision) noexcept {
  switch (decision) {
    case ReuseDecision::Reuse: return "reuse";
    case ReuseDecision::Recompute: return "recompute";
    case ReuseDecision::Hybrid: return "hybrid";
  }
  return "recompute";
}

double jaccard_similarity(std::span<const std::string> set1, std::span<const std::string> set2) {
  std::unordered_set<std::string_view> u(set1.begin(), set1.end());
  std::unordered_set<std::string_view> v(set2.begin(), set2.end());
  if (u.empty() && v.empty()) return 1.0;
  const auto& small = u.size() <= v.size() ? u : v;
  const auto& large = u.size() <= v.size() ? v : u;
  std::size_t common = 0;
  for (std::string_view id : small) common += large.contains(id) ? 1 : 0;
  const std::size_t either = u.size() + v.size() - common;
  return static_cast<double>(common) / static_cast<double>(either);
}

double clamp_overlap(double overlap_j) noexcept {
  if (overlap_j < 0.0) return 0.0;
  if (overlap_j > 1.0) return 1.0;
  return overlap_j;
}

ReuseOutcome decide_reuse(double overlap_j, const CostModel& model, std::optional<std::uint64_t> row_count) noexcept {
  const double j = clamp_overlap(overlap_j);
  const Evaluated e = evaluate_model(model, rows_of(row_count));
  const double d = e.c_comp * e.alpha;
  const double threshold = d == 0.0 ? std::numeric_limits<double>::infinity() : e.c_id / d;
  // NaN on either side compares false, so it falls to Recompute as it should.
  const ReuseDecision decision = j > threshold ? ReuseDecision::Reuse : ReuseDecision::Recompute;
  return {decision, j, e.alpha, e.c_id, e.c_comp};
}

double economic_delta(double overlap_j, const CostModel& model, std::optional<std::uint64_t> row_count) noexcept {
  const double j = clamp_overlap(overlap_j);
  const Evaluated e = evaluate_model(model, rows_of(row_count));
  return j * (e.c_comp * e.alpha) - e.c_id;
}

}  // namespace tessary::engine
