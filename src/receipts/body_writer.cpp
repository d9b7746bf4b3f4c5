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
#include "receipts/record_members.hpp"

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

// A record: a struct with a member list. Its map head is patched in after its
// fields are written, as one byte, so it has fewer than 24 fields.
template <class R>
concept RecordType = ListedRecord<R> && (R::fields.size() < 24);

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
      fields<kSorted<Record>>(record);
    } else {
      fields<kDeclared<Record>>(record);
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

  // Writes the fields of `record` in `Order` (declaration indices), unrolled
  // at compile time: each entry names its member directly.
  template <const auto& Order, RecordType Record>
  void fields(const Record& record) {
    std::string& buffer = w_.buffer();
    const std::size_t head = buffer.size();
    buffer.push_back('\0');
    ++depth_;
    unsigned count = 0;
    [&]<std::size_t... K>(std::index_sequence<K...>) {
      ((count += field(Record::fields[Order[K]], member<Order[K]>(record))), ...);
    }(std::make_index_sequence<Order.size()>{});
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
    writer.fields<kEnvelopeHashed>(receipt);
  } else {
    writer.fields<kDeclared<Receipt>>(receipt);
  }
  return writer.finish();
}

}  // namespace tessary::receipts::canonical::detail
