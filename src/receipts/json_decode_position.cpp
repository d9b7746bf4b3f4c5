#include "receipts/json_decode_position.hpp"

#include <cstdint>
#include <string>
#include <string_view>

#include "formats/float_text.hpp"

namespace tessary::receipts::json_decode {

namespace {

std::size_t decimal_digits(std::uint64_t n) {
  std::size_t digits = 1;
  while (n >= 10) {
    n /= 10;
    ++digits;
  }
  return digits;
}

// Quotes included; escapes as the compact writer makes them.
std::size_t string_length(std::string_view text) {
  std::size_t length = 2;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r') {
      length += 2;
    } else if (c < 0x20) {
      length += 6;
    } else {
      length += 1;
    }
  }
  return length;
}

// Walks the compact text of `value` from `offset`; stops with true when it
// reaches `target`, leaving `offset` at the target's first byte.
bool advance_to(const json::Value& value, const json::Value* target, std::size_t& offset) {
  if (&value == target) return true;
  if (value.is_array()) {
    ++offset;  // [
    bool first = true;
    for (const json::Value& element : value.as_array()) {
      if (!first) ++offset;  // ,
      first = false;
      if (advance_to(element, target, offset)) return true;
    }
    ++offset;  // ]
    return false;
  }
  if (value.is_object()) {
    ++offset;  // {
    bool first = true;
    for (const auto& [key, member] : value.as_object()) {
      if (!first) ++offset;  // ,
      first = false;
      offset += string_length(key) + 1;  // "key":
      if (advance_to(member, target, offset)) return true;
    }
    ++offset;  // }
    return false;
  }
  offset += compact_length(value);
  return false;
}

}  // namespace

std::size_t compact_length(const json::Value& value) {
  switch (value.kind()) {
    case json::Kind::Null: return 4;
    case json::Kind::Bool: return value.as_bool() ? 4 : 5;
    case json::Kind::UInt: return decimal_digits(value.as_uint());
    case json::Kind::Int: return 1 + decimal_digits(0 - static_cast<std::uint64_t>(value.as_int()));
    case json::Kind::Float: return formats::f64_text(value.as_float()).size();
    case json::Kind::String: return string_length(value.as_string());
    case json::Kind::Array: {
      const json::Array& elements = value.as_array();
      std::size_t length = elements.empty() ? 2 : 1 + elements.size();  // brackets and commas
      for (const json::Value& element : elements) length += compact_length(element);
      return length;
    }
    case json::Kind::Object: {
      const json::Object& object = value.as_object();
      std::size_t length = object.empty() ? 2 : 1 + object.size();  // braces and commas
      for (const auto& [key, member] : object) length += string_length(key) + 1 + compact_length(member);
      return length;
    }
  }
  return 0;
}

std::optional<std::size_t> compact_offset(const json::Value& root, const Position& position) {
  std::size_t offset = 0;
  if (position.node == nullptr || !advance_to(root, position.node, offset)) return std::nullopt;
  if (position.anchor == Position::Anchor::End) offset += compact_length(*position.node);
  return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(offset) + position.extra);
}

}  // namespace tessary::receipts::json_decode
