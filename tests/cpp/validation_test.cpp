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
      {validate_version_format, "version",
       {"0.1.0", "1.2", "+1.2", "1.2.x", "1.2.", "007.0", "18446744073709551615.0"},
       {"1", "1.2.3.4", "1..2", "a.1", "-1.2", "", "+.1", "1.+", "18446744073709551616.0", "1. 2", "1.2.3.4.5"}},
      {is_timestamp_format, "timestamp",
       {"2025-01-17T12:00:00Z", "2025-01-17T12:00:00.123456+00:00", "2025-01-17T12:00:00-05:00",
        "\xc3\xbc" "025-01-17T12:00:00Z"},  // positions count characters, not bytes
       {"2025-01-17 12:00:00Z", "2025-01-17T12:00:00.5", "2025-01-17T12:00Z", "2025/01/17T12:00:00Z",
        "2025-01-17t12:00:00Z", "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"}},
      {is_policy_ref_format, "policy_ref",
       {"pol:team/etl@1.0.0", "pol:/@1.0", "pol:simple", "pol:a.b-c_D9", "pol:ns/n@1.2.rc1"},
       {"pol:team/etl", "pol:team/etl@latest", "pol:", "policy:x", "pol:team/etl@1", "pol:te am/x@1.0", "pol:a@1.0",
        "POL:x"}},
      {is_did_uri_format, "identity_ref",
       {"did:example:123", "did:key:abc.def_1-2:x", "did:web:a:b"},
       {"did:Example:1", "did::x", "did:web:", "did:web", "DID:web:x", "did:web:a b", "did:we-b:x"}},
      {is_currency_code_format, "currency", {"USD", "EUR"}, {"usd", "US", "USDT", "US1", "", "\xc3\x9cSD"}},
  };
  for (const auto& c : cases) {
    for (const auto& text : c.pass) EXPECT_TRUE(c.check(text)) << c.name << " should accept " << text;
    for (const auto& text : c.fail) EXPECT_FALSE(c.check(text)) << c.name << " should reject " << text;
  }
}

TEST(ValidationFormats, PlainDecimalUsesShortestDigitsWithoutExponent) {
  const std::vector<std::pair<double, std::string>> cases = {
      {3.0, "3"}, {100.0, "100"}, {1e21, "1000000000000000000000"}, {1e-7, "0.0000001"}, {-1.5, "-1.5"},
      {0.1 + 0.2, "0.30000000000000004"}, {0.0, "0"}, {-0.0, "-0"},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
      {-std::numeric_limits<double>::infinity(), "-inf"}, {std::numeric_limits<double>::quiet_NaN(), "NaN"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(plain_decimal(value), text);
}

// ---- whole receipts ------------------------------------------------------

Receipt resealed(Receipt r, const std::function<void(Receipt&)>& edit) {
  edit(r);
  return samples::sealed(std::move(r));
}

std::string failure(const Receipt& r) {
  auto result = validate(r);
  return result ? "ok" : result.error().to_string();
}

std::string invalid_hash(const std::string& text) {
  return "Invalid hash format: " + text + " (must match ^sha256:[0-9a-f]{64}$)";
}

TEST(Validation, HashIsCheckedBeforeAnythingElse) {
  Receipt r = samples::method_shape();
  std::get<MethodShapePayload>(r.payload).nodes.clear();
  r.version = "bad";

  r.hash = "SHA256:" + r.hash.substr(7);
  EXPECT_EQ(validate(r).error(), (ValidationError{ValidationError::InvalidHashFormat{r.hash}}));

  const std::string stale = samples::method_shape().hash;
  r.hash = stale;
  const std::string computed = r.compute_hash().value();
  EXPECT_EQ(validate(r).error(), (ValidationError{ValidationError::HashMismatch{stale, computed}}));
  EXPECT_EQ(failure(r), "Hash mismatch: expected " + stale + ", computed " + computed);

  r.dom = "\xff";  // cannot be hashed at all
  const ValidationError e = validate(r).error();
  EXPECT_TRUE(e.is<ValidationError::Serialization>());
  EXPECT_TRUE(e.to_string().starts_with("Serialization error: serde to Value failed: ")) << e.to_string();
}

struct RuleCase {
  const char* name;
  std::function<Receipt()> make;
  std::string message;
};

Receipt spend_with(const std::function<void(SpendPayload&)>& edit) {
  return resealed(samples::spend(), [&](Receipt& r) { edit(std::get<SpendPayload>(r.payload)); });
}

template <class P>
std::function<Receipt()> edited(Receipt (*sample)(), std::function<void(P&)> edit) {
  return [=] { return resealed(sample(), [&](Receipt& r) { edit(std::get<P>(r.payload)); }); };
}

const std::string kBad = "sha256:" + std::string(64, 'X');
const std::string kBad2 = "md5:0";

TEST(Validation, EachRuleReportsItsMessageInOrder) {
  using E = ExecutionPayload;
  const std::vector<RuleCase> cases = {
      {"schema_hash", edited<DataShapePayload>(samples::data_shape, [](auto& p) { p.schema_hash = kBad; }), invalid_hash(kBad)},
      {"sketch_hash", edited<DataShapePayload>(samples::data_shape, [](auto& p) { p.sketch_hash = kBad; }), invalid_hash(kBad)},
      {"root_multiset before nodes",
       edited<MethodShapePayload>(samples::method_shape, [](auto& p) { p.root_multiset = kBad; p.nodes[0].span_shape_hash = kBad2; }),
       invalid_hash(kBad)},
      {"nodes in order, then dag_hash",
       edited<MethodShapePayload>(samples::method_shape, [](auto& p) { p.nodes[1].span_shape_hash = kBad; p.dag_hash = kBad2; }),
       invalid_hash(kBad)},
      {"method dag_hash", edited<MethodShapePayload>(samples::method_shape, [](auto& p) { p.dag_hash = kBad; }), invalid_hash(kBad)},
      {"intent before dag",
       edited<ReasoningShapePayload>(samples::reasoning_shape, [](auto& p) { p.intent_hash = kBad; p.dag_hash = kBad2; }),
       invalid_hash(kBad)},
      {"review_hash", edited<ReasoningShapePayload>(samples::reasoning_shape, [](auto& p) { p.quality->review_hash = kBad; }),
       invalid_hash(kBad)},
      {"data_shape_hash first",
       edited<E>(samples::execution, [](auto& p) { p.data_shape_hash = kBad; p.method_ref.method_shape_root = kBad2; }),
       invalid_hash(kBad)},
      {"method_shape_root before spans",
       edited<E>(samples::execution, [](auto& p) { p.method_ref.method_shape_root = kBad; p.span_commitments = {kBad2}; }),
       invalid_hash(kBad)},
      {"spans before roots",
       edited<E>(samples::execution, [](auto& p) { p.span_commitments.push_back(kBad); p.roots.trace_set_root = kBad2; }),
       invalid_hash(kBad)},
      {"trace_set before identity",
       edited<E>(samples::execution, [](auto& p) { p.roots.trace_set_root = kBad; p.roots.identity_root = kBad2; }),
       invalid_hash(kBad)},
      {"identity before seq",
       edited<E>(samples::execution, [](auto& p) { p.roots.identity_root = kBad; p.roots.trace_seq_root = kBad2; }),
       invalid_hash(kBad)},
      {"trace_seq_root", edited<E>(samples::execution, [](auto& p) { p.roots.trace_seq_root = kBad; }), invalid_hash(kBad)},
      {"change_epoch", edited<E>(samples::execution, [](auto& p) { p.change_epoch = ""; p.hll_cardinality = 0; }),
       "Invalid value: change_epoch must be non-empty if present"},
      {"hll_cardinality", edited<E>(samples::execution, [](auto& p) { p.hll_cardinality = 0; }),
       "Invalid value: hll_cardinality must be > 0 if present"},
      {"currency before total", [] { return spend_with([](auto& p) { p.currency = "usd"; p.total_value = 99; }); },
       "Invalid value: Invalid currency code: usd (expected ISO-4217, 3 uppercase letters)"},
      {"total", [] { return spend_with([](auto& p) { p.total_value = 3; }); },
       "Invalid value: total_value mismatch: expected ~2, got 3"},
      {"total rounding shows", [] {
         return spend_with([](auto& p) {
           p.meter = {1.0, 1.0, std::nullopt, std::nullopt, std::nullopt};
           p.unit_prices = {0.1, 0.2, 5.0, std::nullopt, std::nullopt};
           p.total_value = 1e-7;
         });
       },
       "Invalid value: total_value mismatch: expected ~0.30000000000000004, got 0.0000001"},
      {"nothing metered", [] { return spend_with([](auto& p) { p.meter = {}; p.total_value = 0.00011; }); },
       "Invalid value: total_value mismatch: expected ~0, got 0.00011"},
      {"layer", [] {
         return spend_with([](auto& p) { p.justification = ReuseJustification{}; p.justification->layer = "Data"; });
       },
       "Invalid value: Invalid layer value: Data (must be one of: [\"data\", \"method\", \"reasoning\", \"execution\"])"},
      {"dom before cod", [] { return resealed(samples::settlement(), [](Receipt& r) { r.dom = kBad; r.cod = kBad2; }); },
       invalid_hash(kBad)},
      {"cod before version", [] { return resealed(samples::settlement(), [](Receipt& r) { r.cod = kBad; r.version = "1"; }); },
       invalid_hash(kBad)},
      {"version before timestamp",
       [] { return resealed(samples::settlement(), [](Receipt& r) { r.version = "1"; r.ctx.timestamp = "now"; }); },
       "Invalid value: Invalid version format: 1 (expected semver-like format)"},
      {"timestamp before policy",
       [] { return resealed(samples::settlement(), [](Receipt& r) { r.ctx.timestamp = "now"; r.ctx.policy_ref = "x"; }); },
       "Invalid value: Invalid timestamp format: now (expected RFC3339)"},
      {"policy before identity",
       [] { return resealed(samples::settlement(), [](Receipt& r) { r.ctx.policy_ref = "pol:a/b"; r.ctx.identity_ref = "x"; }); },
       "Invalid value: Invalid policy_ref format: pol:a/b (expected pol:<namespace>/<name>@<semver>)"},
      {"identity before collections", [] {
         return resealed(samples::settlement(), [](Receipt& r) {
           r.ctx.identity_ref = "did:web";
           std::get<SettlementPayload>(r.payload).wur_refs.clear();
         });
       },
       "Invalid value: Invalid identity_ref format: did:web (expected DID URI)"},
      {"wur_refs", edited<SettlementPayload>(samples::settlement, [](auto& p) { p.wur_refs.clear(); }),
       "Invalid value: settlement.wur_refs must not be empty"},
      {"nodes", edited<MethodShapePayload>(samples::method_shape, [](auto& p) { p.nodes.clear(); }),
       "Invalid value: method_shape.nodes must not be empty"},
      {"node_refs", edited<ReasoningShapePayload>(samples::reasoning_shape, [](auto& p) { p.node_refs.clear(); }),
       "Invalid value: reasoning_shape.node_refs must not be empty"},
      {"span_commitments", edited<E>(samples::execution, [](auto& p) { p.span_commitments.clear(); }),
       "Invalid value: execution.span_commitments must not be empty"},
  };
  for (const auto& c : cases) EXPECT_EQ(failure(c.make()), c.message) << c.name;
}

TEST(Validation, LenientCasesPass) {
  const std::vector<std::pair<const char*, Receipt>> cases = {
      {"total within tolerance", spend_with([](auto& p) { p.total_value = 2.00009; })},
      {"nothing metered, tiny total", spend_with([](auto& p) { p.meter = {}; p.total_value = -0.0001; })},
      {"NaN total never mismatches", spend_with([](auto& p) { p.total_value = std::nan(""); })},
      {"layer present and known", spend_with([](auto& p) { p.justification = ReuseJustification{}; p.justification->layer = "reasoning"; })},
      {"justification without layer", spend_with([](auto& p) { p.justification = ReuseJustification{}; })},
      {"hll positive, epoch set", resealed(samples::execution(), [](Receipt& r) {
         auto& p = std::get<ExecutionPayload>(r.payload);
         p.hll_cardinality = 1;
         p.change_epoch = "e";
       })},
      {"references present and well formed", resealed(samples::data_shape(), [](Receipt& r) {
         r.ctx.policy_ref = "pol:team/etl@1.0.0";
         r.ctx.identity_ref = "did:example:123";
       })},
      {"data_shape sample", samples::data_shape()},
      {"method_shape sample", samples::method_shape()},
      {"reasoning_shape sample", samples::reasoning_shape()},
      {"execution sample", samples::execution()},
      {"spend sample", samples::spend()},
      {"settlement sample", samples::settlement()},
  };
  for (const auto& [name, r] : cases) EXPECT_EQ(failure(r), "ok") << name;
}

}  // namespace
}  // namespace tessary::receipts
