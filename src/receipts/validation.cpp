#include "receipts/validation.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "receipts/canonical_hash.hpp"
#include "receipts/plain_decimal.hpp"

namespace tessary::receipts {

namespace {

using Result = std::expected<void, ValidationError>;

std::unexpected<ValidationError> invalid_value(std::string message) {
  return std::unexpected(ValidationError{ValidationError::InvalidValue{std::move(message)}});
}

Result hash_like(const std::optional<std::string>& text) { return text ? validate_hash_format_str(*text) : Result{}; }

// ---- step 2: the stored hash is the hash of the body ---------------------

Result check_integrity(const Receipt& r) {
  auto computed = r.compute_hash();
  if (!computed) return std::unexpected(std::move(computed.error()));
  if (*computed != r.hash) return std::unexpected(ValidationError{ValidationError::HashMismatch{r.hash, std::move(*computed)}});
  return {};
}

// ---- step 3: payload rules, by kind -------------------------------------

Result payload_rules(const DataShapePayload& p) {
  if (auto r = validate_hash_format_str(p.schema_hash); !r) return r;
  return hash_like(p.sketch_hash);
}

Result payload_rules(const MethodShapePayload& p) {
  if (auto r = validate_hash_format_str(p.root_multiset); !r) return r;
  for (const auto& node : p.nodes) {
    if (auto r = validate_hash_format_str(node.span_shape_hash); !r) return r;
  }
  return hash_like(p.dag_hash);
}

Result payload_rules(const ReasoningShapePayload& p) {
  if (auto r = validate_hash_format_str(p.intent_hash); !r) return r;
  if (auto r = validate_hash_format_str(p.dag_hash); !r) return r;
  return p.quality ? hash_like(p.quality->review_hash) : Result{};
}

Result payload_rules(const ExecutionPayload& p) {
  if (auto r = validate_hash_format_str(p.data_shape_hash); !r) return r;
  if (auto r = validate_hash_format_str(p.method_ref.method_shape_root); !r) return r;
  for (const auto& commitment : p.span_commitments) {
    if (auto r = validate_hash_format_str(commitment); !r) return r;
  }
  if (auto r = validate_hash_format_str(p.roots.trace_set_root); !r) return r;
  if (auto r = validate_hash_format_str(p.roots.identity_root); !r) return r;
  if (auto r = hash_like(p.roots.trace_seq_root); !r) return r;
  if (p.change_epoch && p.change_epoch->empty()) return invalid_value("change_epoch must be non-empty if present");
  if (p.hll_cardinality && *p.hll_cardinality == 0) return invalid_value("hll_cardinality must be > 0 if present");
  return {};
}

// Sum of meter x unit price over the components present on both sides, in
// field order (the order matters for the rounding of the sum).
double metered_total(const ResourceVector& meter, const ResourceVector& prices) {
  double sum = 0.0;
  auto add = [&sum](const std::optional<double>& quantity, const std::optional<double>& price) {
    if (quantity && price) sum += *quantity * *price;
  };
  add(meter.vcpu_sec, prices.vcpu_sec);
  add(meter.gpu_sec, prices.gpu_sec);
  add(meter.gb_sec, prices.gb_sec);
  add(meter.requests, prices.requests);
  add(meter.energy_kwh, prices.energy_kwh);
  return sum;
}

Result payload_rules(const SpendPayload& p) {
  if (!is_currency_code_format(p.currency)) {
    return invalid_value("Invalid currency code: " + p.currency + " (expected ISO-4217, 3 uppercase letters)");
  }
  const double expected = metered_total(p.meter, p.unit_prices);
  // Written as "greater than" so that a NaN difference passes.
  if (std::fabs(expected - p.total_value) > 0.0001) {
    return invalid_value("total_value mismatch: expected ~" + plain_decimal(expected) + ", got " + plain_decimal(p.total_value));
  }
  if (p.justification && p.justification->layer) {
    const std::string& layer = *p.justification->layer;
    if (layer != "data" && layer != "method" && layer != "reasoning" && layer != "execution") {
      return invalid_value("Invalid layer value: " + layer +
                           " (must be one of: [\"data\", \"method\", \"reasoning\", \"execution\"])");
    }
  }
  return {};
}

Result payload_rules(const SettlementPayload&) { return {}; }

// ---- steps 4 to 8: envelope shapes --------------------------------------

Result envelope_rules(const Receipt& r) {
  if (auto res = validate_hash_format_str(r.dom); !res) return res;
  if (auto res = validate_hash_format_str(r.cod); !res) return res;
  if (!validate_version_format(r.version)) {
    return invalid_value("Invalid version format: " + r.version + " (expected semver-like format)");
  }
  if (!is_timestamp_format(r.ctx.timestamp)) {
    return invalid_value("Invalid timestamp format: " + r.ctx.timestamp + " (expected RFC3339)");
  }
  if (r.ctx.policy_ref && !is_policy_ref_format(*r.ctx.policy_ref)) {
    return invalid_value("Invalid policy_ref format: " + *r.ctx.policy_ref +
                         " (expected pol:<namespace>/<name>@<semver>)");
  }
  if (r.ctx.identity_ref && !is_did_uri_format(*r.ctx.identity_ref)) {
    return invalid_value("Invalid identity_ref format: " + *r.ctx.identity_ref + " (expected DID URI)");
  }
  return {};
}

// ---- step 9: required collections ---------------------------------------

Result collection_rules(const MethodShapePayload& p) {
  return p.nodes.empty() ? invalid_value("method_shape.nodes must not be empty") : Result{};
}
Result collection_rules(const ReasoningShapePayload& p) {
  return p.node_refs.empty() ? invalid_value("reasoning_shape.node_refs must not be empty") : Result{};
}
Result collection_rules(const ExecutionPayload& p) {
  return p.span_commitments.empty() ? invalid_value("execution.span_commitments must not be empty") : Result{};
}
Result collection_rules(const SettlementPayload& p) {
  return p.wur_refs.empty() ? invalid_value("settlement.wur_refs must not be empty") : Result{};
}
Result collection_rules(const DataShapePayload&) { return {}; }
Result collection_rules(const SpendPayload&) { return {}; }

}  // namespace

std::expected<void, ValidationError> validate_hash_format_str(std::string_view text) {
  if (canonical::validate_hash_format(text)) return {};
  return std::unexpected(ValidationError{ValidationError::InvalidHashFormat{std::string(text)}});
}

// The rules follow the payload's record: kind and payload agree for every
// receipt built by this library.
std::expected<void, ValidationError> validate(const Receipt& receipt) {
  if (auto r = validate_hash_format_str(receipt.hash); !r) return r;
  if (auto r = check_integrity(receipt); !r) return r;
  if (auto r = std::visit([](const auto& p) { return payload_rules(p); }, receipt.payload); !r) return r;
  if (auto r = envelope_rules(receipt); !r) return r;
  return std::visit([](const auto& p) { return collection_rules(p); }, receipt.payload);
}

}  // namespace tessary::receipts
