#pragma once
// The members of every record read from and written to JSON, in declaration
// order, beside the wire names and presence classes each record declares in
// `fields`. The decoder and the encoder both walk records through this list,
// so a record's field order exists in one place per record.
#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <utility>

#include "receipts/context.hpp"
#include "receipts/payloads.hpp"

namespace tessary::receipts::json_records {

template <class R>
struct Members;

template <class R>
concept Record = requires {
  Members<R>::list;
  R::fields;
  R::expectation;
};

template <> struct Members<DataShapePayload> {
  using R = DataShapePayload;
  static constexpr auto list = std::tuple{&R::schema_hash, &R::sketch_hash};
};
template <> struct Members<MethodNodeRef> {
  using R = MethodNodeRef;
  static constexpr auto list = std::tuple{&R::id, &R::span_shape_hash};
};
template <> struct Members<Edge> {
  using R = Edge;
  static constexpr auto list = std::tuple{&R::from, &R::to};
};
template <> struct Members<MethodShapePayload> {
  using R = MethodShapePayload;
  static constexpr auto list = std::tuple{&R::nodes, &R::edges, &R::root_multiset, &R::dag_hash};
};
template <> struct Members<ReasoningNodeRef> {
  using R = ReasoningNodeRef;
  static constexpr auto list = std::tuple{&R::node_id, &R::operator_ref, &R::pox_ref};
};
template <> struct Members<ReasoningQuality> {
  using R = ReasoningQuality;
  static constexpr auto list = std::tuple{&R::success_score, &R::eval_method, &R::review_hash, &R::confidence};
};
template <> struct Members<ReasoningShapePayload> {
  using R = ReasoningShapePayload;
  static constexpr auto list = std::tuple{&R::intent_hash, &R::dag_hash, &R::node_refs, &R::policy_ref, &R::quality};
};
template <> struct Members<MethodRef> {
  using R = MethodRef;
  static constexpr auto list = std::tuple{&R::method_id, &R::version, &R::method_shape_root};
};
template <> struct Members<ExecutionRoots> {
  using R = ExecutionRoots;
  static constexpr auto list = std::tuple{&R::trace_set_root, &R::identity_root, &R::trace_seq_root};
};
template <> struct Members<CdfMetadata> {
  using R = CdfMetadata;
  static constexpr auto list = std::tuple{&R::commit_version, &R::change_type, &R::commit_timestamp};
};
template <> struct Members<EncryptedLocatorRef> {
  using R = EncryptedLocatorRef;
  static constexpr auto list = std::tuple{&R::encrypted_data, &R::content_hash, &R::encryption_scheme};
};
template <> struct Members<ExecutionPayload> {
  using R = ExecutionPayload;
  static constexpr auto list = std::tuple{
      &R::trace_id,          &R::method_ref,          &R::data_shape_hash,           &R::span_commitments,
      &R::roots,             &R::cdf_metadata,        &R::pac,                       &R::change_epoch,
      &R::minhash_signature, &R::hll_cardinality,     &R::chunk_manifest_hash,       &R::chunk_manifest_size_bytes,
      &R::merkle_root,       &R::prev_execution_rid,  &R::output_digest,             &R::manifest_root,
      &R::output_mime_type,  &R::output_size_bytes,   &R::input_locator_refs,        &R::output_locator_ref};
};
template <> struct Members<ResourceVector> {
  using R = ResourceVector;
  static constexpr auto list = std::tuple{&R::vcpu_sec, &R::gpu_sec, &R::gb_sec, &R::requests, &R::energy_kwh};
};
template <> struct Members<SpendPointers> {
  using R = SpendPointers;
  static constexpr auto list = std::tuple{&R::trace_id, &R::span_ids};
};
template <> struct Members<ReuseJustification> {
  using R = ReuseJustification;
  static constexpr auto list =
      std::tuple{&R::overlap_j, &R::alpha, &R::c_id, &R::c_comp, &R::decision, &R::layer, &R::minhash_sketch};
};
template <> struct Members<SpendPayload> {
  using R = SpendPayload;
  static constexpr auto list = std::tuple{&R::meter,         &R::unit_prices, &R::currency,     &R::pricing_policy_ref,
                                          &R::total_value,   &R::pointers,    &R::justification};
};
template <> struct Members<SettlementPayload> {
  using R = SettlementPayload;
  static constexpr auto list = std::tuple{&R::wur_refs, &R::net_positions, &R::rules_ref, &R::cash_instr};
};
template <> struct Members<Signature> {
  using R = Signature;
  static constexpr auto list = std::tuple{&R::alg, &R::kid, &R::sig};
};
template <> struct Members<Context> {
  using R = Context;
  static constexpr auto list = std::tuple{&R::policy_ref, &R::timestamp, &R::nonce, &R::determinism, &R::identity_ref};
};

template <class R>
inline constexpr std::size_t field_count = std::tuple_size_v<std::remove_const_t<decltype(Members<R>::list)>>;

// Calls f(index, member) for every field of `record` (R or const R), in order.
template <class R, class F>
void for_each_member(R& record, F&& f) {
  using Plain = std::remove_const_t<R>;
  static_assert(field_count<Plain> == Plain::fields.size(), "member list and field table disagree");
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (f(I, record.*std::get<I>(Members<Plain>::list)), ...);
  }(std::make_index_sequence<field_count<Plain>>{});
}

// Byte order of two names (negative, zero, positive), the order of object
// members in the value tree. Wire names are short and mostly differ in their
// first bytes, so an inline loop beats a call to memcmp.
constexpr int compare_names(std::string_view a, std::string_view b) {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// "DataShapePayload" out of "struct DataShapePayload with 2 elements".
template <Record R>
constexpr std::string_view record_name() {
  constexpr std::string_view text = R::expectation;
  constexpr std::string_view head = "struct ";
  return text.substr(head.size(), text.find(" with ") - head.size());
}

}  // namespace tessary::receipts::json_records
