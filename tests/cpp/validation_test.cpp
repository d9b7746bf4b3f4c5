// Validation rules: their order, their messages, and the loose shape checks
// of envelope texts.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "receipt_samples.hpp"
#include "receipts/plain_decimal.hpp"
#include "receipts/validation.hpp"
#include "test_support.hpp"

namespace tessary::receipts {
namespace {

struct FormatCase {
  std::function<bool(std::string_view)> check;
  const char* name;
  std::vector<std::string> pass;
  std::vector<std::string> fail;
};

TEST(ValidationFormats, ShapeChecksAcceptAndRejectExactlyTheseTexts) {
  const std::vector<FormatCase> cases = {
      {validate_version_format, "version", {"0.1.0", "1.2", "+1.2", "1.2.x", "1.2.", "007.0", "18446744073709551615.0"},
       {"1", "1.2.3.4", "1..2", "a.1", "-1.2", "", "+.1", "1.+", "18446744073709551616.0", "1. 2", "1.2.3.4.5"}},
      {is_timestamp_format, "timestamp", {"2025-01-17T12:00:00Z", "2025-01-17T12:00:00.123456+00:00", "2025-01-17T12:00:00-05:00",
        "\xc3\xbc" "025-01-17T12:00:00Z"},  // positions count characters, not bytes
       {"2025-01-17 12:00:00Z", "2025-01-17T12:00:00.5", "2025-01-17T12:00Z", "2025/01/17T12:00:00Z",
        "2025-01-17t12:00:00Z", "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"}},
      {is_policy_ref_format, "policy_ref", {"pol:team/etl@1.0.0", "pol:/@1.0", "pol:simple", "pol:a.b-c_D9", "pol:ns/n@1.2.rc1"},
       {"pol:team/etl", "pol:team/etl@latest", "pol:", "policy:x", "pol:team/etl@1", "pol:te am/x@1.0", "pol:a@1.0", "POL:x"}},
      {is_did_uri_format, "identity_ref", {"did:example:123", "did:key:abc.def_1-2:x", "did:web:a:b"},
       {"did:Example:1", "did::x", "did:web:", "did:web", "DID:web:x", "did:web:a b", "did:we-b:x"}},
      {is_currency_code_format, "currency", {"USD", "EUR"}, {"usd", "US", "USDT", "US1", "", "\xc3\x9cSD"}},
  };
  for (const auto& c : cases) {
    for (const auto& text : c.pass) EXPECT_TRUE(c.check(text)) << c.name << " should accept " << text;
    for (const auto& text : c.fail) EXPECT_FALSE(c.check(text)) << c.name << " should reject " << text;
  }
}

TEST(ValidationFormats, PlainDecimalUsesShortestDigitsWithoutExponent) {
  // Rounded sums and small totals show in the mismatch messages below.
  const std::vector<std::pair<double, std::string>> cases = {
      {100.0, "100"}, {1e21, "1000000000000000000000"}, {-1.5, "-1.5"}, {-0.0, "-0"}, {5e-324, "0." + std::string(323, '0') + "5"},
      {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
      {-std::numeric_limits<double>::infinity(), "-inf"}, {std::numeric_limits<double>::quiet_NaN(), "NaN"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(plain_decimal(value), text);
}

// ---- whole receipts ------------------------------------------------------

std::string failure(const Receipt& r) { return support::error_text(validate(r)); }

std::string invalid_hash(const std::string& text) { return "Invalid hash format: " + text + " (must match ^sha256:[0-9a-f]{64}$)"; }

TEST(Validation, HashIsCheckedBeforeAnythingElse) {
  Receipt r = samples::method_shape();
  std::get<MethodShapePayload>(r.payload).nodes.clear();
  r.version = "bad";

  r.hash = "SHA256:" + r.hash.substr(7);
  EXPECT_EQ(failure(r), invalid_hash(r.hash));

  const std::string stale = samples::method_shape().hash;
  r.hash = stale;
  const std::string computed = r.compute_hash().value();
  EXPECT_EQ(failure(r), "Hash mismatch: expected " + stale + ", computed " + computed);

  r.dom = "\xff";  // cannot be hashed at all
  const ValidationError e = validate(r).error();
  EXPECT_TRUE(e.is<ValidationError::Serialization>());
  EXPECT_TRUE(e.to_string().starts_with("Serialization error: serde to Value failed: ")) << e.to_string();
}

struct Rule {
  std::function<void(Receipt&)> breaks;
  std::string message;
};

template <class P>
Rule rule(std::function<void(P&)> edit, const std::string& message) {
  return {[=](Receipt& r) { if constexpr (std::is_same_v<P, Receipt>) edit(r); else edit(std::get<P>(r.payload)); },
          message.starts_with("Invalid hash") ? message : "Invalid value: " + message};
}
#define HASH(P, field) rule<P>([](P& p) { p.field = "bad " #field; }, invalid_hash("bad " #field))

// Each chain lists rules in the order they are checked: a receipt breaking a
// rule and every later one reports that rule.
TEST(Validation, EachRuleReportsItsMessageInOrder) {
  using R = Receipt;
  using E = ExecutionPayload;
  using S = SpendPayload;
  const std::vector<Rule> envelope = {
      HASH(R, dom), HASH(R, cod),
      rule<R>([](R& r) { r.version = "1"; }, "Invalid version format: 1 (expected semver-like format)"),
      rule<R>([](R& r) { r.ctx.timestamp = "now"; }, "Invalid timestamp format: now (expected RFC3339)"),
      rule<R>([](R& r) { r.ctx.policy_ref = "pol:a/b"; }, "Invalid policy_ref format: pol:a/b (expected pol:<namespace>/<name>@<semver>)"),
      rule<R>([](R& r) { r.ctx.identity_ref = "did:web"; }, "Invalid identity_ref format: did:web (expected DID URI)")};
  auto then_envelope = [&](std::vector<Rule> rules) { return rules.insert(rules.end(), envelope.begin(), envelope.end()), rules; };
  const std::vector<std::pair<Receipt (*)(), std::vector<Rule>>> chains = {
      {samples::data_shape, then_envelope({HASH(DataShapePayload, schema_hash), HASH(DataShapePayload, sketch_hash)})},
      {samples::method_shape, then_envelope({HASH(MethodShapePayload, root_multiset), HASH(MethodShapePayload, nodes[0].span_shape_hash),
                                             HASH(MethodShapePayload, nodes[1].span_shape_hash), HASH(MethodShapePayload, dag_hash)})},
      {samples::reasoning_shape, then_envelope({HASH(ReasoningShapePayload, intent_hash), HASH(ReasoningShapePayload, dag_hash),
                                                HASH(ReasoningShapePayload, quality->review_hash)})},
      {samples::execution, then_envelope({
           HASH(E, data_shape_hash), HASH(E, method_ref.method_shape_root),
           rule<E>([](E& p) { p.span_commitments.push_back("bad span"); }, invalid_hash("bad span")),
           HASH(E, roots.trace_set_root), HASH(E, roots.identity_root), HASH(E, roots.trace_seq_root),
           rule<E>([](E& p) { p.change_epoch = ""; }, "change_epoch must be non-empty if present"),
           rule<E>([](E& p) { p.hll_cardinality = 0; }, "hll_cardinality must be > 0 if present")})},
      {samples::spend, then_envelope({
           rule<S>([](S& p) { p.currency = "usd"; }, "Invalid currency code: usd (expected ISO-4217, 3 uppercase letters)"),
           rule<S>([](S& p) { p.total_value = 3; }, "total_value mismatch: expected ~2, got 3"),
           rule<S>([](S& p) { p.justification = ReuseJustification{}; p.justification->layer = "Data"; },
                   "Invalid layer value: Data (must be one of: [\"data\", \"method\", \"reasoning\", \"execution\"])")})},
      // The required collections come last; each is its own chain, as emptying one undoes the rules on its members.
      {samples::settlement, then_envelope({})},
      {samples::settlement, {envelope.back(), rule<SettlementPayload>([](auto& p) { p.wur_refs.clear(); }, "settlement.wur_refs must not be empty")}},
      {samples::method_shape, {envelope.back(), rule<MethodShapePayload>([](auto& p) { p.nodes.clear(); }, "method_shape.nodes must not be empty")}},
      {samples::reasoning_shape, {envelope.back(), rule<ReasoningShapePayload>([](auto& p) { p.node_refs.clear(); },
                                                                                "reasoning_shape.node_refs must not be empty")}},
      {samples::execution, {envelope.back(), rule<E>([](E& p) { p.span_commitments.clear(); }, "execution.span_commitments must not be empty")}},
      // The sum shows its rounding; with nothing metered it is zero.
      {samples::spend, {rule<S>([](S& p) {
                          p.meter = {.vcpu_sec = 1.0, .gpu_sec = 1.0};
                          p.unit_prices = {.vcpu_sec = 0.1, .gpu_sec = 0.2, .gb_sec = 5.0};
                          p.total_value = 1e-7;
                        }, "total_value mismatch: expected ~0.30000000000000004, got 0.0000001")}},
      {samples::spend, {rule<S>([](S& p) { p.meter = {}; p.total_value = 0.00011; }, "total_value mismatch: expected ~0, got 0.00011")}},
  };
  for (const auto& [sample, rules] : chains) {
    for (std::size_t i = 0; i < rules.size(); ++i) {
      Receipt r = sample();
      for (std::size_t j = i; j < rules.size(); ++j) rules[j].breaks(r);
      EXPECT_EQ(failure(samples::sealed(std::move(r))), rules[i].message);
    }
  }
}
#undef HASH

TEST(Validation, LenientCasesPass) {
  auto edited = [](Receipt r, const std::function<void(Receipt&)>& edit) { return edit(r), samples::sealed(std::move(r)); };
  auto spend = [&](const std::function<void(SpendPayload&)>& edit) {
    return edited(samples::spend(), [&](Receipt& r) { edit(std::get<SpendPayload>(r.payload)); });
  };
  for (const Receipt& r : {spend([](auto& p) { p.total_value = 2.00009; }),  // within the tolerance
                           spend([](auto& p) { p.meter = {}; p.total_value = -0.0001; }),
                           spend([](auto& p) { p.total_value = std::nan(""); }),  // a NaN total never mismatches
                           spend([](auto& p) { p.justification = ReuseJustification{}; p.justification->layer = "reasoning"; }),
                           spend([](auto& p) { p.justification = ReuseJustification{}; }),
                           edited(samples::execution(),
                                  [](Receipt& r) { auto& p = std::get<ExecutionPayload>(r.payload); p.hll_cardinality = 1; p.change_epoch = "e"; }),
                           edited(samples::data_shape(),
                                  [](Receipt& r) { r.ctx.policy_ref = "pol:team/etl@1.0.0"; r.ctx.identity_ref = "did:example:123"; }),
                           samples::method_shape(), samples::reasoning_shape(), samples::settlement()}) {
    EXPECT_EQ(failure(r), "(succeeded)") << r.hash;
  }
}

}  // namespace
}  // namespace tessary::receipts
