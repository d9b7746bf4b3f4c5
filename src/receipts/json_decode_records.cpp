#include "receipts/json_decode_records.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "receipts/bytes32_codec.hpp"
#include "receipts/json_decode_item.hpp"
#include "receipts/json_decode_members.hpp"
#include "receipts/json_decode_uuid.hpp"

namespace tessary::receipts::json_decode {

namespace {

using json_records::Record;

Status fail(Failure failure) { return std::unexpected(std::move(failure)); }

// Object members are handed out const; in the moving mode the tree is ours.
template <class V>
V& member_value(const json::Object::Member& member) {
  return const_cast<V&>(member.second);
}

// Round to nearest, ties to even, overflowing to infinity, as a hardware
// conversion does; spelled out because an out-of-range conversion is
// undefined in C++.
float nearest_single(double value) {
  constexpr double kLargest = std::numeric_limits<float>::max();
  constexpr double kOverflow = 0x1.ffffffp127;  // halfway to 2^128: rounds to even, i.e. up
  const double magnitude = std::fabs(value);
  if (magnitude >= kOverflow) {
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    return std::signbit(value) ? -kInfinity : kInfinity;
  }
  if (magnitude > kLargest) return static_cast<float>(std::copysign(kLargest, value));
  return static_cast<float>(value);
}

// ---- every overload is declared before any template uses it -------------

template <class V> Status decode(V& value, std::string& out);
template <class V> Status decode(V& value, std::uint64_t& out);
template <class V> Status decode(V& value, std::int64_t& out);
template <class V> Status decode(V& value, std::uint8_t& out);
template <class V> Status decode(V& value, double& out);
template <class V> Status decode(V& value, float& out);
template <class V> Status decode(V& value, DeterminismClass& out);
template <class V> Status decode(V& value, Digest32& out);
template <class V> Status decode(V& value, Uuid& out);
template <class V> Status decode(V& value, NumberMap& out);
template <class V> Status decode(V& value, formats::cbor::Item& out);
template <class V, class T> Status decode(V& value, std::optional<T>& out);
template <class V, class T> Status decode(V& value, std::vector<T>& out);
template <class V, Record R> Status decode(V& value, R& out);

// ---- scalars ------------------------------------------------------------

template <class V>
Status decode(V& value, std::string& out) {
  if (!value.is_string()) return fail(invalid_type(value, "a string"));
  take_text(value, out);
  return {};
}

template <class V>
Status decode(V& value, std::uint64_t& out) {
  if (value.is_uint()) {
    out = value.as_uint();
    return {};
  }
  if (value.is_int()) return fail(invalid_value(value, "u64"));
  return fail(invalid_type(value, "u64"));
}

template <class V>
Status decode(V& value, std::int64_t& out) {
  if (auto n = value.to_i64()) {
    out = *n;
    return {};
  }
  if (value.is_uint()) return fail(invalid_value(value, "i64"));
  return fail(invalid_type(value, "i64"));
}

template <class V>
Status decode(V& value, std::uint8_t& out) {
  if (value.is_uint() && value.as_uint() <= 0xFF) {
    out = static_cast<std::uint8_t>(value.as_uint());
    return {};
  }
  if (value.is_uint() || value.is_int()) return fail(invalid_value(value, "u8"));
  return fail(invalid_type(value, "u8"));
}

template <class V>
Status decode(V& value, double& out) {
  if (auto n = value.to_f64()) {
    out = *n;
    return {};
  }
  return fail(invalid_type(value, "f64"));
}

// Integers convert straight to single precision: going through a double
// first could round twice.
template <class V>
Status decode(V& value, float& out) {
  switch (value.kind()) {
    case json::Kind::UInt: out = static_cast<float>(value.as_uint()); return {};
    case json::Kind::Int: out = static_cast<float>(value.as_int()); return {};
    case json::Kind::Float: out = nearest_single(value.as_float()); return {};
    default: return fail(invalid_type(value, "f32"));
  }
}

Failure unknown_variant(std::string_view variant, Position position) {
  std::string message = "unknown variant `";
  message += variant;
  message += "`, expected one of `strict`, `bounded`, `observational`";
  return {std::move(message), position};
}

// The enumeration is read as its name, or as an object {"name": null} (the
// externally tagged form of a unit variant). Anything else is not the start
// of an enumeration value at all, and the reader says so one byte in.
template <class V>
Status decode(V& value, DeterminismClass& out) {
  if (value.is_string()) {
    auto parsed = parse_determinism(value.as_string());
    if (!parsed) return fail(unknown_variant(value.as_string(), Position::end(value)));
    out = *parsed;
    return {};
  }
  if (!value.is_object()) return fail({"expected value", Position::start(value, 1)});
  const json::Object& object = value.as_object();
  if (object.empty()) return fail({"expected value", Position::start(value, 2)});
  const auto& [name, inner] = object.members().front();
  auto parsed = parse_determinism(name);
  if (!parsed) return fail(unknown_variant(name, Position::start(inner, -1)));  // just past the name's quote
  if (!inner.is_null()) return fail(invalid_type(inner, "unit"));
  if (object.size() > 1) return fail({"expected value", Position::end(inner)});
  out = *parsed;
  return {};
}

template <class V>
Status decode(V& value, Digest32& out) {
  auto digest = decode_digest32(value);
  if (!digest) return fail(std::move(digest.error()));
  if (*digest) out = **digest;  // null never reaches here: the optional wrapper takes it
  return {};
}

template <class V>
Status decode(V& value, Uuid& out) {
  if (!value.is_string()) return fail(invalid_type(value, "a UUID string"));
  auto parsed = parse_uuid(value.as_string());
  if (!parsed) return fail({"UUID parsing failed: " + parsed.error().to_string(), Position::end(value)});
  out = *parsed;
  return {};
}

template <class V>
Status decode(V& value, NumberMap& out) {
  if (!value.is_object()) return fail(invalid_type(value, "a map"));
  out.clear();
  for (const auto& member : value.as_object().members()) {
    double number = 0;
    if (auto status = decode(member_value<V>(member), number); !status) return status;
    // Keys arrive in ascending order and unique: each insert goes at the end.
    out.emplace_hint(out.end(), member.first, number);
  }
  return {};
}

template <class V>
Status decode(V& value, formats::cbor::Item& out) {
  out = to_item(value);
  return {};
}

// ---- containers ---------------------------------------------------------

template <class V, class T>
Status decode(V& value, std::optional<T>& out) {
  if (value.is_null()) {
    out.reset();
    return {};
  }
  out.emplace();
  auto status = decode(value, *out);
  if (!status) out.reset();
  return status;
}

template <class V, class T>
Status decode(V& value, std::vector<T>& out) {
  if (!value.is_array()) return fail(invalid_type(value, "a sequence"));
  auto& elements = value.as_array();
  out.clear();
  out.reserve(elements.size());
  for (auto& element : elements) {
    out.emplace_back();
    if (auto status = decode(element, out.back()); !status) return status;
  }
  return {};
}

// ---- records ------------------------------------------------------------

// Field lookup by name: an open-addressing table over a cheap hash of the
// name's length and first and last bytes, built at compile time. A probe
// compares that signature first and confirms with one full comparison.
constexpr std::uint32_t name_signature(std::string_view name) {
  return static_cast<std::uint32_t>(name.size()) << 16 | static_cast<std::uint32_t>(static_cast<unsigned char>(name.front())) << 8 |
         static_cast<unsigned char>(name.back());
}

constexpr std::size_t kSlots = 64;  // a power of two above twice the largest record's field count

constexpr std::size_t slot_of(std::uint32_t signature) { return (signature * 0x9E3779B1u) >> 26; }

template <Record R>
struct FieldTable {
  static_assert(R::fields.size() * 2 < kSlots);
  std::array<std::uint32_t, kSlots> signature{};
  std::array<std::uint8_t, kSlots> field{};  // field index + 1; 0 marks an empty slot
};

template <Record R>
constexpr FieldTable<R> kFieldTable = [] {
  FieldTable<R> table;
  for (std::size_t i = 0; i < R::fields.size(); ++i) {
    const std::uint32_t signature = name_signature(R::fields[i].name);
    std::size_t slot = slot_of(signature);
    while (table.field[slot] != 0) slot = (slot + 1) % kSlots;
    table.signature[slot] = signature;
    table.field[slot] = static_cast<std::uint8_t>(i + 1);
  }
  return table;
}();

// The field named `key`, or R::fields.size() for a key the record does not have.
template <Record R>
std::size_t field_index(std::string_view key) {
  if (key.empty() || key.size() > 0xFFFF) return R::fields.size();
  constexpr const FieldTable<R>& table = kFieldTable<R>;
  const std::uint32_t signature = name_signature(key);
  for (std::size_t slot = slot_of(signature); table.field[slot] != 0; slot = (slot + 1) % kSlots) {
    const std::size_t index = table.field[slot] - 1u;
    if (table.signature[slot] == signature && R::fields[index].name == key) return index;
  }
  return R::fields.size();
}

// One decoder per field, indexed by field number.
template <class V, Record R, std::size_t I>
Status decode_member(V& value, R& out) {
  return decode(value, member<I>(out));
}

template <class V, Record R>
constexpr auto kMemberDecoders = []<std::size_t... I>(std::index_sequence<I...>) {
  return std::array<Status (*)(V&, R&), sizeof...(I)>{&decode_member<V, R, I>...};
}(std::make_index_sequence<R::fields.size()>{});

template <Record R>
constexpr std::string_view struct_expecting() {
  return R::expectation.substr(0, R::expectation.find(" with "));  // "struct Edge"
}

template <class V, Record R>
Status decode_fields(V& value, R& out) {
  static_assert(R::fields.size() <= 32);
  std::uint32_t seen = 0;
  for (const auto& member : value.as_object().members()) {
    const std::size_t index = field_index<R>(member.first);
    if (index == R::fields.size()) continue;  // unknown keys are skipped
    seen |= std::uint32_t{1} << index;
    if (auto status = kMemberDecoders<V, R>[index](member_value<V>(member), out); !status) return status;
  }
  for (std::size_t i = 0; i < R::fields.size(); ++i) {
    if ((seen >> i & 1) == 0 && R::fields[i].presence == Presence::Required) {
      return fail(missing_field(R::fields[i].name, value));
    }
  }
  return {};
}

template <class V, Record R>
Status decode_elements(V& value, R& out) {
  auto& elements = value.as_array();
  constexpr std::size_t count = R::fields.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (i >= elements.size()) return fail(invalid_length(elements.size(), R::expectation, value));
    if (auto status = kMemberDecoders<V, R>[i](elements[i], out); !status) return status;
  }
  if (elements.size() > count) return fail(invalid_length(elements.size(), R::expectation, value));
  return {};
}

template <class V, Record R>
Status decode(V& value, R& out) {
  if (value.is_object()) return decode_fields(value, out);
  if (value.is_array()) return decode_elements(value, out);
  return fail(invalid_type(value, struct_expecting<R>()));
}

template <class R, class V>
Status decode_alternative(V& value, Payload& out) {
  return decode(value, out.template emplace<R>());
}

}  // namespace

template <class V>
Status decode_payload(ReceiptKind kind, V& value, Payload& out) {
  switch (kind) {
    case ReceiptKind::DataShape: return decode_alternative<DataShapePayload>(value, out);
    case ReceiptKind::MethodShape: return decode_alternative<MethodShapePayload>(value, out);
    case ReceiptKind::ReasoningShape: return decode_alternative<ReasoningShapePayload>(value, out);
    case ReceiptKind::Execution: return decode_alternative<ExecutionPayload>(value, out);
    case ReceiptKind::Spend: return decode_alternative<SpendPayload>(value, out);
    case ReceiptKind::Settlement: return decode_alternative<SettlementPayload>(value, out);
  }
  return decode_alternative<ExecutionPayload>(value, out);
}

template <class V>
Status decode_context(V& value, Context& out) {
  return decode(value, out);
}

template Status decode_payload(ReceiptKind, const json::Value&, Payload&);
template Status decode_payload(ReceiptKind, json::Value&, Payload&);
template Status decode_context(const json::Value&, Context&);
template Status decode_context(json::Value&, Context&);

}  // namespace tessary::receipts::json_decode
