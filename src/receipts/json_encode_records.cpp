#include "receipts/json_encode_records.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "receipts/bytes32_codec.hpp"
#include "receipts/json_decode_members.hpp"
#include "receipts/json_encode_item.hpp"
#include "receipts/json_encode_text.hpp"

namespace tessary::receipts::json_encode {

namespace {

using json_records::Record;

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// Every overload is declared before the templates that call it.
void write(const std::string& text, std::string& out);
void write(std::uint64_t n, std::string& out);
void write(std::int64_t n, std::string& out);
void write(std::uint8_t n, std::string& out);
void write(double value, std::string& out);
void write(float value, std::string& out);
void write(DeterminismClass determinism, std::string& out);
void write(const Digest32& digest, std::string& out);
void write(const Uuid& uuid, std::string& out);
void write(const NumberMap& map, std::string& out);
void write(const formats::cbor::Item& item, std::string& out);
template <class T> void write(const std::optional<T>& value, std::string& out);
template <class T> void write(const std::vector<T>& values, std::string& out);
template <Record R> void write(const R& record, std::string& out);

void write(const std::string& text, std::string& out) { write_string(text, out); }
void write(std::uint64_t n, std::string& out) { append_integer(n, out); }
void write(std::int64_t n, std::string& out) { append_integer(n, out); }
void write(std::uint8_t n, std::string& out) { append_integer(n, out); }
void write(double value, std::string& out) { append_f64(value, out); }
void write(float value, std::string& out) { append_f32(value, out); }
void write(DeterminismClass determinism, std::string& out) {
  out.push_back('"');
  out.append(wire_string(determinism));
  out.push_back('"');
}
void write(const Digest32& digest, std::string& out) { append_digest32_json(digest, out); }
void write(const Uuid& uuid, std::string& out) { append_uuid(uuid, out); }
void write(const formats::cbor::Item& item, std::string& out) { write_item(item, out); }

void write(const NumberMap& map, std::string& out) {
  out.push_back('{');
  bool first = true;
  for (const auto& [key, value] : map) {  // std::map iterates in ascending byte order
    if (!first) out.push_back(',');
    first = false;
    write_string(key, out);
    out.push_back(':');
    append_f64(value, out);
  }
  out.push_back('}');
}

template <class T>
void write(const std::optional<T>& value, std::string& out) {
  if (value) {
    write(*value, out);
  } else {
    out.append("null");
  }
}

template <class T>
void write(const std::vector<T>& values, std::string& out) {
  out.push_back('[');
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out.push_back(',');
    write(values[i], out);
  }
  out.push_back(']');
}

// Every key of a record as the text `,"name":`, laid end to end at compile
// time, so writing a key is one append.
template <Record R>
constexpr std::size_t kKeyTextSize = [] {
  std::size_t size = 0;
  for (const FieldSpec& field : R::fields) size += field.name.size() + 4;
  return size;
}();

template <Record R>
struct KeyTexts {
  std::array<char, kKeyTextSize<R>> text{};
  std::array<std::size_t, R::fields.size() + 1> start{};

  // With the leading comma, or without it for the first key written.
  constexpr std::string_view key(std::size_t index, bool first) const {
    const std::size_t from = start[index] + (first ? 1 : 0);
    return {text.data() + from, start[index + 1] - from};
  }
};

template <Record R>
constexpr KeyTexts<R> kKeyTexts = [] {
  KeyTexts<R> keys;
  std::size_t at = 0;
  for (std::size_t i = 0; i < R::fields.size(); ++i) {
    keys.start[i] = at;
    keys.text[at++] = ',';
    keys.text[at++] = '"';
    for (const char c : R::fields[i].name) keys.text[at++] = c;
    keys.text[at++] = '"';
    keys.text[at++] = ':';
  }
  keys.start[R::fields.size()] = at;
  return keys;
}();

template <Record R>
void write(const R& record, std::string& out) {
  out.push_back('{');
  bool first = true;
  for_each_member(record, [&](std::size_t index, const auto& field) {
    if constexpr (IsOptional<std::remove_cvref_t<decltype(field)>>::value) {
      if (!field && R::fields[index].presence == Presence::OmittedWhenAbsent) return;
    }
    out.append(kKeyTexts<R>.key(index, first));
    first = false;
    write(field, out);
  });
  out.push_back('}');
}

}  // namespace

void write_payload(const Payload& payload, std::string& out) {
  std::visit([&](const auto& record) { write(record, out); }, payload);
}

void write_context(const Context& context, std::string& out) { write(context, out); }

void write_signature(const Signature& signature, std::string& out) { write(signature, out); }

std::expected<void, std::string> payload_items_check(const Payload& payload) {
  const auto* settlement = std::get_if<SettlementPayload>(&payload);
  if (settlement != nullptr && settlement->cash_instr) return check_item(*settlement->cash_instr);
  return {};
}

}  // namespace tessary::receipts::json_encode
