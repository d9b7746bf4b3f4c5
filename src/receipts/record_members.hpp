#pragma once
// The members of every record, as pointers to members in declaration order,
// beside the wire names and presence classes each record declares in
// `fields`. The JSON decoder and encoder and the CBOR body writer all reach a
// record's fields through these lists, so a record's field order is written
// down once. A data member added to a record but not listed here, or listed
// here but not in `fields`, or listed twice, stops the build.
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "receipts/receipt.hpp"

namespace tessary::receipts {

template <class R>
struct Members;

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
template <> struct Members<Receipt> {
  using R = Receipt;
  static constexpr auto list = std::tuple{&R::rid,     &R::version, &R::kind,   &R::dom, &R::cod, &R::links,
                                          &R::ctx,     &R::payload, &R::attest, &R::sig, &R::hash};
};

// A struct with a member list and a field table.
template <class R>
concept ListedRecord = requires {
  Members<R>::list;
  R::fields;
};

template <ListedRecord R>
inline constexpr std::size_t member_count = std::tuple_size_v<std::remove_const_t<decltype(Members<R>::list)>>;

namespace member_checks {

// Converts to any member type. Records are aggregates, so the most of these
// a record can be brace-initialised from is its number of data members.
struct AnyMember {
  template <class T>
  operator T() const;  // never called: only named in unevaluated checks
};
template <std::size_t>
using Any = AnyMember;

template <class R, std::size_t... I>
constexpr bool initialisable_from(std::index_sequence<I...>) {
  return requires { R{Any<I>{}...}; };
}

template <class R, std::size_t N = 0>
constexpr std::size_t data_member_count() {
  if constexpr (initialisable_from<R>(std::make_index_sequence<N + 1>{})) {
    return data_member_count<R, N + 1>();
  } else {
    return N;
  }
}

// Entries I and J name different members (entries of different types do).
template <class R, std::size_t I, std::size_t J>
constexpr bool different() {
  constexpr auto a = std::get<I>(Members<R>::list);
  constexpr auto b = std::get<J>(Members<R>::list);
  if constexpr (I >= J || !std::is_same_v<decltype(a), decltype(b)>) {
    return true;
  } else {
    return a != b;
  }
}

template <class R, std::size_t I, std::size_t... J>
constexpr bool differs_from_later(std::index_sequence<J...>) {
  return (different<R, I, J>() && ...);
}

template <class R, std::size_t... I>
constexpr bool all_different(std::index_sequence<I...> indices) {
  return (differs_from_later<R, I>(indices) && ...);
}

}  // namespace member_checks

template <ListedRecord R>
constexpr bool lists_every_member() {
  static_assert(member_count<R> == member_checks::data_member_count<R>(), "a data member is missing from the record's member list");
  static_assert(member_count<R> == R::fields.size(), "member list and field table disagree");
  static_assert(member_checks::all_different<R>(std::make_index_sequence<member_count<R>>{}), "a member is listed twice");
  return true;
}

// Field I of `record` (R or const R), in declaration order.
template <std::size_t I, class R>
constexpr auto& member(R& record) {
  using Plain = std::remove_const_t<R>;
  static_assert(lists_every_member<Plain>());
  return record.*std::get<I>(Members<Plain>::list);
}

// Calls f(index, member) for every field of `record` (R or const R), in order.
template <class R, class F>
void for_each_member(R& record, F&& f) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (f(I, member<I>(record)), ...);
  }(std::make_index_sequence<member_count<std::remove_const_t<R>>>{});
}

}  // namespace tessary::receipts
