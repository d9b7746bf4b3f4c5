#pragma once
// Small, valid, sealed receipts of every kind, for the receipt library's tests.
#include <string>

#include "formats/sha256.hpp"
#include "receipts/receipt.hpp"

namespace tessary::receipts::samples {

inline std::string hash_of(std::string_view text) { return formats::sha256_prefixed(text); }

inline Receipt envelope(ReceiptKind kind, Payload payload) {
  Receipt r;
  r.rid = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0x4d, 0xef, 0x80, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  r.version = "0.1.0";
  r.kind = kind;
  r.dom = hash_of("dom");
  r.cod = hash_of("cod");
  r.ctx.timestamp = "2025-01-17T12:00:00.123456+00:00";
  r.ctx.determinism = DeterminismClass::Observational;
  r.payload = std::move(payload);
  return r;
}

inline Receipt sealed(Receipt r) {
  r.hash = r.compute_hash().value();
  return r;
}

inline Receipt data_shape() { return sealed(envelope(ReceiptKind::DataShape, DataShapePayload{hash_of("schema"), std::nullopt})); }

inline Receipt method_shape() {
  MethodShapePayload p;
  p.nodes = {{"n1", hash_of("span1")}, {"n2", hash_of("span2")}};
  p.edges = std::vector<Edge>{{"n1", "n2"}};
  p.root_multiset = hash_of("roots");
  return sealed(envelope(ReceiptKind::MethodShape, std::move(p)));
}

inline Receipt reasoning_shape() {
  ReasoningShapePayload p;
  p.intent_hash = hash_of("intent");
  p.dag_hash = hash_of("dag");
  p.node_refs = {{"r1", "op:plan", std::nullopt}};
  p.quality = ReasoningQuality{0.5f, "rubric", hash_of("review"), std::nullopt};
  return sealed(envelope(ReceiptKind::ReasoningShape, std::move(p)));
}

inline Receipt execution() {
  ExecutionPayload p;
  p.trace_id = "trace:1";
  p.method_ref = {"workload", "0.1.0", hash_of("workload:workload")};
  p.data_shape_hash = hash_of("data");
  p.span_commitments = {hash_of("data")};
  p.roots = {hash_of("set"), hash_of("id"), hash_of("seq")};
  return sealed(envelope(ReceiptKind::Execution, std::move(p)));
}

inline Receipt spend() {
  SpendPayload p;
  p.meter = {.vcpu_sec = 2.0, .requests = 10.0};
  p.unit_prices = {.vcpu_sec = 0.5, .gpu_sec = 3.0, .requests = 0.1};  // no GPU metered: its price adds nothing
  p.currency = "USD";
  p.total_value = 2.0;
  p.pointers.trace_id = "trace:1";
  return sealed(envelope(ReceiptKind::Spend, std::move(p)));
}

inline Receipt settlement() {
  SettlementPayload p;
  p.wur_refs = {"wur:1"};
  p.net_positions = {{"alice", 1.5}, {"bob", -1.5}};
  p.rules_ref = "rules:v1";
  return sealed(envelope(ReceiptKind::Settlement, std::move(p)));
}

}  // namespace tessary::receipts::samples
