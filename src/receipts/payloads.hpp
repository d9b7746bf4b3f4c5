#pragma once
// The six payload records, one per receipt kind, and their sub-records.
// Fields are declared in wire order; `fields` lists their wire names and
// presence classes, `expectation` the text a decoder quotes for a record
// given as an array of the wrong length. Records hold data only: content
// rules belong to validation.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "formats/cbor_item.hpp"
#include "receipts/record_fields.hpp"
#include "receipts/value_types.hpp"

namespace tessary::receipts {

// ---- data_shape ---------------------------------------------------------

struct DataShapePayload {
  std::string schema_hash;
  std::optional<std::string> sketch_hash;

  static constexpr std::string_view expectation = "struct DataShapePayload with 2 elements";
  static constexpr std::array<FieldSpec, 2> fields = {{
      {"schema_hash", Presence::Required},
      {"sketch_hash", Presence::NullWhenAbsent},
  }};
  friend bool operator==(const DataShapePayload&, const DataShapePayload&) = default;
};

// ---- method_shape -------------------------------------------------------

struct MethodNodeRef {
  std::string id;
  std::string span_shape_hash;

  static constexpr std::string_view expectation = "struct MethodNodeRef with 2 elements";
  static constexpr std::array<FieldSpec, 2> fields = {{
      {"id", Presence::Required},
      {"span_shape_hash", Presence::Required},
  }};
  friend bool operator==(const MethodNodeRef&, const MethodNodeRef&) = default;
};

struct Edge {
  std::string from;
  std::string to;

  static constexpr std::string_view expectation = "struct Edge with 2 elements";
  static constexpr std::array<FieldSpec, 2> fields = {{
      {"from", Presence::Required},
      {"to", Presence::Required},
  }};
  friend bool operator==(const Edge&, const Edge&) = default;
};

struct MethodShapePayload {
  std::vector<MethodNodeRef> nodes;
  std::optional<std::vector<Edge>> edges;
  std::string root_multiset;
  std::optional<std::string> dag_hash;

  static constexpr std::string_view expectation = "struct MethodShapePayload with 4 elements";
  static constexpr std::array<FieldSpec, 4> fields = {{
      {"nodes", Presence::Required},
      {"edges", Presence::NullWhenAbsent},
      {"root_multiset", Presence::Required},
      {"dag_hash", Presence::NullWhenAbsent},
  }};
  friend bool operator==(const MethodShapePayload&, const MethodShapePayload&) = default;
};

// ---- reasoning_shape ----------------------------------------------------

struct ReasoningNodeRef {
  std::string node_id;
  std::string operator_ref;
  std::optional<std::string> pox_ref;

  static constexpr std::string_view expectation = "struct ReasoningNodeRef with 3 elements";
  static constexpr std::array<FieldSpec, 3> fields = {{
      {"node_id", Presence::Required},
      {"operator_ref", Presence::Required},
      {"pox_ref", Presence::NullWhenAbsent},
  }};
  friend bool operator==(const ReasoningNodeRef&, const ReasoningNodeRef&) = default;
};

// The two scores are single precision on purpose: they are written as the
// shortest form of the float value, not of a double.
struct ReasoningQuality {
  std::optional<float> success_score;
  std::optional<std::string> eval_method;
  std::optional<std::string> review_hash;
  std::optional<float> confidence;

  static constexpr std::string_view expectation = "struct ReasoningQuality with 4 elements";
  static constexpr std::array<FieldSpec, 4> fields = {{
      {"success_score", Presence::NullWhenAbsent},
      {"eval_method", Presence::NullWhenAbsent},
      {"review_hash", Presence::NullWhenAbsent},
      {"confidence", Presence::NullWhenAbsent},
  }};
  friend bool operator==(const ReasoningQuality&, const ReasoningQuality&) = default;
};

struct ReasoningShapePayload {
  std::string intent_hash;
  std::string dag_hash;
  std::vector<ReasoningNodeRef> node_refs;
  std::optional<std::string> policy_ref;
  std::optional<ReasoningQuality> quality;

  static constexpr std::string_view expectation = "struct ReasoningShapePayload with 5 elements";
  static constexpr std::array<FieldSpec, 5> fields = {{
      {"intent_hash", Presence::Required},
      {"dag_hash", Presence::Required},
      {"node_refs", Presence::Required},
      {"policy_ref", Presence::NullWhenAbsent},
      {"quality", Presence::NullWhenAbsent},
  }};
  friend bool operator==(const ReasoningShapePayload&, const ReasoningShapePayload&) = default;
};

// ---- execution ----------------------------------------------------------

struct MethodRef {
  std::string method_id;
  std::string version;
  std::string method_shape_root;

  static constexpr std::string_view expectation = "struct MethodRef with 3 elements";
  static constexpr std::array<FieldSpec, 3> fields = {{
      {"method_id", Presence::Required},
      {"version", Presence::Required},
      {"method_shape_root", Presence::Required},
  }};
  friend bool operator==(const MethodRef&, const MethodRef&) = default;
};

struct ExecutionRoots {
  std::string trace_set_root;
  std::string identity_root;
  std::optional<std::string> trace_seq_root;

  static constexpr std::string_view expectation = "struct ExecutionRoots with 3 elements";
  static constexpr std::array<FieldSpec, 3> fields = {{
      {"trace_set_root", Presence::Required},
      {"identity_root", Presence::Required},
      {"trace_seq_root", Presence::NullWhenAbsent},
  }};
  friend bool operator==(const ExecutionRoots&, const ExecutionRoots&) = default;
};

// One commit of a change-data feed.
struct CdfMetadata {
  std::int64_t commit_version = 0;
  std::string change_type;
  std::string commit_timestamp;

  static constexpr std::string_view expectation = "struct CdfMetadata with 3 elements";
  static constexpr std::array<FieldSpec, 3> fields = {{
      {"commit_version", Presence::Required},
      {"change_type", Presence::Required},
      {"commit_timestamp", Presence::Required},
  }};
  friend bool operator==(const CdfMetadata&, const CdfMetadata&) = default;
};

// Carries an already encrypted locator; nothing here encrypts or decrypts it.
struct EncryptedLocatorRef {
  ByteList encrypted_data;
  std::string content_hash;
  std::string encryption_scheme;

  static constexpr std::string_view expectation = "struct EncryptedLocatorRef with 3 elements";
  static constexpr std::array<FieldSpec, 3> fields = {{
      {"encrypted_data", Presence::Required},
      {"content_hash", Presence::Required},
      {"encryption_scheme", Presence::Required},
  }};
  friend bool operator==(const EncryptedLocatorRef&, const EncryptedLocatorRef&) = default;
};

struct ExecutionPayload {
  std::string trace_id;
  MethodRef method_ref;
  std::string data_shape_hash;
  std::vector<std::string> span_commitments;
  ExecutionRoots roots;
  std::optional<std::vector<CdfMetadata>> cdf_metadata;
  std::optional<Digest32> pac;
  std::optional<std::string> change_epoch;
  std::optional<ByteList> minhash_signature;
  std::optional<std::uint64_t> hll_cardinality;
  std::optional<Digest32> chunk_manifest_hash;
  std::optional<std::uint64_t> chunk_manifest_size_bytes;
  std::optional<Digest32> merkle_root;
  std::optional<Uuid> prev_execution_rid;
  std::optional<std::string> output_digest;
  std::optional<Digest32> manifest_root;
  std::optional<std::string> output_mime_type;
  std::optional<std::uint64_t> output_size_bytes;
  std::optional<std::vector<EncryptedLocatorRef>> input_locator_refs;
  std::optional<EncryptedLocatorRef> output_locator_ref;

  static constexpr std::string_view expectation = "struct ExecutionPayload with 20 elements";
  static constexpr std::array<FieldSpec, 20> fields = {{
      {"trace_id", Presence::Required},
      {"method_ref", Presence::Required},
      {"data_shape_hash", Presence::Required},
      {"span_commitments", Presence::Required},
      {"roots", Presence::Required},
      {"cdf_metadata", Presence::NullWhenAbsent},
      {"pac", Presence::OmittedWhenAbsent},
      {"change_epoch", Presence::OmittedWhenAbsent},
      {"minhash_signature", Presence::OmittedWhenAbsent},
      {"hll_cardinality", Presence::OmittedWhenAbsent},
      {"chunk_manifest_hash", Presence::OmittedWhenAbsent},
      {"chunk_manifest_size_bytes", Presence::OmittedWhenAbsent},
      {"merkle_root", Presence::OmittedWhenAbsent},
      {"prev_execution_rid", Presence::OmittedWhenAbsent},
      {"output_digest", Presence::OmittedWhenAbsent},
      {"manifest_root", Presence::OmittedWhenAbsent},
      {"output_mime_type", Presence::OmittedWhenAbsent},
      {"output_size_bytes", Presence::OmittedWhenAbsent},
      {"input_locator_refs", Presence::OmittedWhenAbsent},
      {"output_locator_ref", Presence::OmittedWhenAbsent},
  }};
  friend bool operator==(const ExecutionPayload&, const ExecutionPayload&) = default;
};

// ---- spend --------------------------------------------------------------

struct ResourceVector {
  std::optional<double> vcpu_sec;
  std::optional<double> gpu_sec;
  std::optional<double> gb_sec;
  std::optional<double> requests;
  std::optional<double> energy_kwh;

  static constexpr std::string_view expectation = "struct ResourceVector with 5 elements";
  static constexpr std::array<FieldSpec, 5> fields = {{
      {"vcpu_sec", Presence::NullWhenAbsent},
      {"gpu_sec", Presence::NullWhenAbsent},
      {"gb_sec", Presence::NullWhenAbsent},
      {"requests", Presence::NullWhenAbsent},
      {"energy_kwh", Presence::NullWhenAbsent},
  }};
  friend bool operator==(const ResourceVector&, const ResourceVector&) = default;
};

struct SpendPointers {
  std::string trace_id;
  std::optional<std::vector<std::string>> span_ids;

  static constexpr std::string_view expectation = "struct SpendPointers with 2 elements";
  static constexpr std::array<FieldSpec, 2> fields = {{
      {"trace_id", Presence::Required},
      {"span_ids", Presence::NullWhenAbsent},
  }};
  friend bool operator==(const SpendPointers&, const SpendPointers&) = default;
};

// What the producer of a spend receipt says about a reuse decision; the
// record itself does not check these quantities.
struct ReuseJustification {
  std::optional<double> overlap_j;
  std::optional<double> alpha;
  std::optional<double> c_id;
  std::optional<double> c_comp;
  std::optional<std::string> decision;
  std::optional<std::string> layer;
  std::optional<std::string> minhash_sketch;

  static constexpr std::string_view expectation = "struct ReuseJustification with 7 elements";
  static constexpr std::array<FieldSpec, 7> fields = {{
      {"overlap_j", Presence::NullWhenAbsent},
      {"alpha", Presence::NullWhenAbsent},
      {"c_id", Presence::NullWhenAbsent},
      {"c_comp", Presence::NullWhenAbsent},
      {"decision", Presence::NullWhenAbsent},
      {"layer", Presence::NullWhenAbsent},
      {"minhash_sketch", Presence::NullWhenAbsent},
  }};
  friend bool operator==(const ReuseJustification&, const ReuseJustification&) = default;
};

struct SpendPayload {
  ResourceVector meter;
  ResourceVector unit_prices;
  std::string currency;
  std::optional<std::string> pricing_policy_ref;
  double total_value = 0.0;
  SpendPointers pointers;
  std::optional<ReuseJustification> justification;

  static constexpr std::string_view expectation = "struct SpendPayload with 7 elements";
  static constexpr std::array<FieldSpec, 7> fields = {{
      {"meter", Presence::Required},
      {"unit_prices", Presence::Required},
      {"currency", Presence::Required},
      {"pricing_policy_ref", Presence::NullWhenAbsent},
      {"total_value", Presence::Required},
      {"pointers", Presence::Required},
      {"justification", Presence::NullWhenAbsent},
  }};
  friend bool operator==(const SpendPayload&, const SpendPayload&) = default;
};

// ---- settlement ---------------------------------------------------------

struct SettlementPayload {
  std::vector<std::string> wur_refs;
  NumberMap net_positions;
  std::string rules_ref;
  std::optional<formats::cbor::Item> cash_instr;

  static constexpr std::string_view expectation = "struct SettlementPayload with 4 elements";
  static constexpr std::array<FieldSpec, 4> fields = {{
      {"wur_refs", Presence::Required},
      {"net_positions", Presence::Required},
      {"rules_ref", Presence::Required},
      {"cash_instr", Presence::NullWhenAbsent},
  }};
  friend bool operator==(const SettlementPayload&, const SettlementPayload&) = default;
};

// One record per kind, in the kinds' order: the alternative's index is the
// kind's numeric value.
using Payload = std::variant<DataShapePayload, MethodShapePayload, ReasoningShapePayload, ExecutionPayload, SpendPayload,
                             SettlementPayload>;

}  // namespace tessary::receipts
