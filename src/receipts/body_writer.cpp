#include "receipts/body_writer.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "formats/cbor_canon.hpp"
#include "formats/cbor_decoder.hpp"
#include "formats/cbor_float.hpp"
#include "formats/utf8.hpp"

namespace tessary::receipts::canonical::detail {
namespace {

namespace cbor = formats::cbor;

// ---- field orders -------------------------------------------------------

template <std::size_t N>
using FieldOrderTable = std::array<std::uint8_t, N>;

template <std::size_t N>
constexpr FieldOrderTable<N> declared_order() {
  FieldOrderTable<N> order{};
  for (std::size_t i = 0; i < N; ++i) order[i] = static_cast<std::uint8_t>(i);
  return order;
}

// Field indices by ascending bytes of the wire names: where canonicalisation
// puts them (names within a record are distinct, so the stable sort has no
// ties to keep).
template <std::size_t N>
constexpr FieldOrderTable<N> sorted_order(const std::array<FieldSpec, N>& fields) {
  FieldOrderTable<N> order = declared_order<N>();
  for (std::size_t i = 1; i < N; ++i) {
    for (std::size_t j = i; j > 0 && fields[order[j]].name < fields[order[j - 1]].name; --j) {
      std::swap(order[j], order[j - 1]);
    }
  }
  return order;
}

template <class Record>
inline constexpr auto kDeclared = declared_order<Record::fields.size()>();
template <class Record>
inline constexpr auto kSorted = sorted_order(Record::fields);

// The hashed envelope: sorted, without the seal (`sig` and `hash`, the last two fields).
constexpr FieldOrderTable<9> envelope_hashed_order() {
  FieldOrderTable<9> order{};
  std::size_t n = 0;
  for (std::uint8_t i : kSorted<Receipt>) {
    if (i < 9) order[n++] = i;
  }
  return order;
}
inline constexpr auto kEnvelopeHashed = envelope_hashed_order();

constexpr bool envelope_order_is(std::array<std::string_view, 9> expected) {
  for (std::size_t i = 0; i < 9; ++i) {
    if (Receipt::fields[kEnvelopeHashed[i]].name != expected[i]) return false;
  }
  return true;
}
static_assert(envelope_order_is({"attest", "cod", "ctx", "dom", "kind", "links", "payload", "rid", "version"}));

// A record: a struct with a field table. Its map head is patched in after its
// fields are written, as one byte, so it has fewer than 24 fields.
template <class R>
concept RecordType = requires { R::fields; } && (R::fields.size() < 24);

// ---- text ---------------------------------------------------------------

// Whether the read-back accepts `text`. Receipt text is mostly hash strings,
// so plain ASCII is screened eight bytes at a time before the full check.
bool readable_text(std::string_view text) {
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  std::uint64_t high_bits = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    high_bits |= word;
  }
  for (; i < n; ++i) high_bits |= static_cast<unsigned char>(p[i]);
  if ((high_bits & 0x8080808080808080ull) == 0) return true;
  return !formats::utf8::first_invalid(text);
}

// ---- free-form items ----------------------------------------------------

// True when encoding `item`, decoding it at a place with `levels_left`
// container levels to spare and canonicalising the result gives the same bytes
// as canonicalising `item` itself: it encodes, every text is valid UTF-8, and
// its arrays, maps and tags nest no deeper than the decoder allows.
// Recursion is bounded by levels_left.
bool survives_read_back(const cbor::Item& item, std::size_t levels_left) {
  if (const auto* text = std::get_if<std::string>(&item.v)) return readable_text(*text);
  if (const auto* simple = std::get_if<cbor::Simple>(&item.v)) return simple->value < 24 || simple->value >= 32;
  const bool container = item.is<cbor::Array>() || item.is<cbor::Map>() || item.is<cbor::Tagged>();
  if (!container) return true;
  if (levels_left == 0) return false;
  if (const auto* array = std::get_if<cbor::Array>(&item.v)) {
    for (const auto& element : *array) {
      if (!survives_read_back(element, levels_left - 1)) return false;
    }
    return true;
  }
  if (const auto* map = std::get_if<cbor::Map>(&item.v)) {
    for (const auto& [key, value] : *map) {
      if (!survives_read_back(key, levels_left - 1) || !survives_read_back(value, levels_left - 1)) return false;
    }
    return true;
  }
  const auto& tagged = item.as<cbor::Tagged>();
  return tagged.value && survives_read_back(*tagged.value, levels_left - 1);
}

// ---- the writer ---------------------------------------------------------

class Writer {
 public:
  Writer(std::string& out, FieldOrder order) : w_(out), canonical_(order == FieldOrder::Canonical) {}

  std::expected<BodyStatus, cbor::EncodeError> finish() const {
    if (!status_) return std::unexpected(status_.error());
    return safe_ ? BodyStatus::Written : BodyStatus::NeedsRoundTrip;
  }

  bool canonical() const { return canonical_; }

  // Texts that are read back but not written (the seal, in canonical order).
  void check_text(std::string_view text) {
    if (!readable_text(text)) safe_ = false;
  }

  void value(std::string_view text) {
    if (canonical_) check_text(text);
    write_text(text);
  }
  void value(const std::string& text) { value(std::string_view(text)); }
  void value(const Uuid& uuid) { w_.write_bytes(uuid); }
  void value(const Digest32& digest) { octets(digest); }
  void value(const ByteList& bytes) { octets(bytes); }
  void value(std::uint64_t number) { w_.write_uint(number); }
  void value(std::int64_t number) { w_.write_int(number); }
  void value(double number) { w_.write_float(number); }
  // Widened on the bits, so a NaN keeps its payload.
  void value(float number) { w_.write_float(cbor::widen_single(std::bit_cast<std::uint32_t>(number))); }
  void value(ReceiptKind kind) { write_text(wire_string(kind)); }
  void value(DeterminismClass determinism) { write_text(wire_string(determinism)); }
  void value(const Payload& payload) {
    std::visit([this](const auto& record) { value(record); }, payload);
  }

  void value(const NumberMap& map) {
    w_.write_map_head(map.size());
    for (const auto& [key, number] : map) {
      value(key);
      value(number);
    }
  }

  template <class T>
  void value(const std::vector<T>& list) {
    w_.write_array_head(list.size());
    ++depth_;
    for (const auto& element : list) value(element);
    --depth_;
  }

  void value(const cbor::Item& item) {
    if (!canonical_) {
      if (auto written = w_.write_item(item); !written && status_) status_ = std::unexpected(written.error());
      return;
    }
    if (!survives_read_back(item, cbor::kMaxDecodeDepth - depth_)) {
      safe_ = false;
      w_.write_null();
      return;
    }
    cbor::Item copy = item;
    formats::cbor_canon::canon_value(copy);
    if (!w_.write_item(copy)) safe_ = false;
  }

  template <RecordType Record>
  void value(const Record& record) {
    if (canonical_) {
      fields(record, kSorted<Record>);
    } else {
      fields(record, kDeclared<Record>);
    }
  }

  // One entry of a record's map: its key and value, or nothing when the field
  // is absent and omitted. Returns whether an entry was written.
  template <class T>
  bool field(const FieldSpec& field_info, const T& v) {
    write_text(field_info.name);
    value(v);
    return true;
  }
  template <class T>
  bool field(const FieldSpec& field_info, const std::optional<T>& v) {
    if (!v && field_info.presence == Presence::OmittedWhenAbsent) return false;
    write_text(field_info.name);
    if (v) {
      value(*v);
    } else {
      w_.write_null();
    }
    return true;
  }

  // Writes the fields of `record` in `order`; Record::fields names them and
  // emit_field (below) writes each value.
  template <class Record, std::size_t N>
  void fields(const Record& record, const FieldOrderTable<N>& order) {
    std::string& buffer = w_.buffer();
    const std::size_t head = buffer.size();
    buffer.push_back('\0');
    ++depth_;
    unsigned count = 0;
    for (std::uint8_t index : order) {
      if (emit_field(*this, record, index, Record::fields[index])) ++count;
    }
    --depth_;
    buffer[head] = static_cast<char>(0xA0 | count);
  }

 private:
  // Same bytes as the encoder's write_text; append() sidesteps a false
  // -Wrestrict warning GCC 12 gives for string::insert once inlined here.
  void write_text(std::string_view text) {
    w_.write_head(cbor::Major::Text, text.size());
    w_.buffer().append(text);
  }

  template <class Octets>
  void octets(const Octets& bytes) {
    w_.write_array_head(bytes.size());
    for (std::uint8_t b : bytes) w_.write_uint(b);
  }

  cbor::Writer w_;
  bool canonical_;
  std::size_t depth_ = 0;  // containers enclosing the value being written
  bool safe_ = true;
  std::expected<void, cbor::EncodeError> status_;
};

// ---- record fields, by declaration index --------------------------------
// Each writes field i (described by f) and returns whether it was written
// (false: absent and omitted).

bool emit_field(Writer& w, const Context& c, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, c.policy_ref);
    case 1: return w.field(f, c.timestamp);
    case 2: return w.field(f, c.nonce);
    case 3: return w.field(f, c.determinism);
    default: return w.field(f, c.identity_ref);
  }
}

bool emit_field(Writer& w, const Signature& s, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, s.alg);
    case 1: return w.field(f, s.kid);
    default: return w.field(f, s.sig);
  }
}

bool emit_field(Writer& w, const DataShapePayload& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.schema_hash);
    default: return w.field(f, r.sketch_hash);
  }
}

bool emit_field(Writer& w, const MethodNodeRef& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.id);
    default: return w.field(f, r.span_shape_hash);
  }
}

bool emit_field(Writer& w, const Edge& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.from);
    default: return w.field(f, r.to);
  }
}

bool emit_field(Writer& w, const MethodShapePayload& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.nodes);
    case 1: return w.field(f, r.edges);
    case 2: return w.field(f, r.root_multiset);
    default: return w.field(f, r.dag_hash);
  }
}

bool emit_field(Writer& w, const ReasoningNodeRef& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.node_id);
    case 1: return w.field(f, r.operator_ref);
    default: return w.field(f, r.pox_ref);
  }
}

bool emit_field(Writer& w, const ReasoningQuality& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.success_score);
    case 1: return w.field(f, r.eval_method);
    case 2: return w.field(f, r.review_hash);
    default: return w.field(f, r.confidence);
  }
}

bool emit_field(Writer& w, const ReasoningShapePayload& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.intent_hash);
    case 1: return w.field(f, r.dag_hash);
    case 2: return w.field(f, r.node_refs);
    case 3: return w.field(f, r.policy_ref);
    default: return w.field(f, r.quality);
  }
}

bool emit_field(Writer& w, const MethodRef& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.method_id);
    case 1: return w.field(f, r.version);
    default: return w.field(f, r.method_shape_root);
  }
}

bool emit_field(Writer& w, const ExecutionRoots& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.trace_set_root);
    case 1: return w.field(f, r.identity_root);
    default: return w.field(f, r.trace_seq_root);
  }
}

bool emit_field(Writer& w, const CdfMetadata& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.commit_version);
    case 1: return w.field(f, r.change_type);
    default: return w.field(f, r.commit_timestamp);
  }
}

bool emit_field(Writer& w, const EncryptedLocatorRef& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.encrypted_data);
    case 1: return w.field(f, r.content_hash);
    default: return w.field(f, r.encryption_scheme);
  }
}

bool emit_field(Writer& w, const ExecutionPayload& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.trace_id);
    case 1: return w.field(f, r.method_ref);
    case 2: return w.field(f, r.data_shape_hash);
    case 3: return w.field(f, r.span_commitments);
    case 4: return w.field(f, r.roots);
    case 5: return w.field(f, r.cdf_metadata);
    case 6: return w.field(f, r.pac);
    case 7: return w.field(f, r.change_epoch);
    case 8: return w.field(f, r.minhash_signature);
    case 9: return w.field(f, r.hll_cardinality);
    case 10: return w.field(f, r.chunk_manifest_hash);
    case 11: return w.field(f, r.chunk_manifest_size_bytes);
    case 12: return w.field(f, r.merkle_root);
    case 13: return w.field(f, r.prev_execution_rid);
    case 14: return w.field(f, r.output_digest);
    case 15: return w.field(f, r.manifest_root);
    case 16: return w.field(f, r.output_mime_type);
    case 17: return w.field(f, r.output_size_bytes);
    case 18: return w.field(f, r.input_locator_refs);
    default: return w.field(f, r.output_locator_ref);
  }
}

bool emit_field(Writer& w, const ResourceVector& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.vcpu_sec);
    case 1: return w.field(f, r.gpu_sec);
    case 2: return w.field(f, r.gb_sec);
    case 3: return w.field(f, r.requests);
    default: return w.field(f, r.energy_kwh);
  }
}

bool emit_field(Writer& w, const SpendPointers& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.trace_id);
    default: return w.field(f, r.span_ids);
  }
}

bool emit_field(Writer& w, const ReuseJustification& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.overlap_j);
    case 1: return w.field(f, r.alpha);
    case 2: return w.field(f, r.c_id);
    case 3: return w.field(f, r.c_comp);
    case 4: return w.field(f, r.decision);
    case 5: return w.field(f, r.layer);
    default: return w.field(f, r.minhash_sketch);
  }
}

bool emit_field(Writer& w, const SpendPayload& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.meter);
    case 1: return w.field(f, r.unit_prices);
    case 2: return w.field(f, r.currency);
    case 3: return w.field(f, r.pricing_policy_ref);
    case 4: return w.field(f, r.total_value);
    case 5: return w.field(f, r.pointers);
    default: return w.field(f, r.justification);
  }
}

bool emit_field(Writer& w, const SettlementPayload& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.wur_refs);
    case 1: return w.field(f, r.net_positions);
    case 2: return w.field(f, r.rules_ref);
    default: return w.field(f, r.cash_instr);
  }
}

bool emit_field(Writer& w, const Receipt& r, std::size_t i, const FieldSpec& f) {
  switch (i) {
    case 0: return w.field(f, r.rid);
    case 1: return w.field(f, r.version);
    case 2: return w.field(f, r.kind);
    case 3: return w.field(f, r.dom);
    case 4: return w.field(f, r.cod);
    case 5: return w.field(f, r.links);
    case 6: return w.field(f, r.ctx);
    case 7: return w.field(f, r.payload);
    case 8: return w.field(f, r.attest);
    case 9: return w.field(f, r.sig);
    default: return w.field(f, r.hash);
  }
}

}  // namespace

std::expected<BodyStatus, cbor::EncodeError> write_body(const Receipt& receipt, FieldOrder order, std::string& out) {
  Writer writer(out, order);
  if (writer.canonical()) {
    // The seal is read back before it is dropped, so it must be readable too.
    writer.check_text(receipt.hash);
    if (receipt.sig) {
      writer.check_text(receipt.sig->alg);
      writer.check_text(receipt.sig->kid);
      writer.check_text(receipt.sig->sig);
    }
    writer.fields(receipt, kEnvelopeHashed);
  } else {
    writer.fields(receipt, kDeclared<Receipt>);
  }
  return writer.finish();
}

}  // namespace tessary::receipts::canonical::detail
