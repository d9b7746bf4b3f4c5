#pragma once
// The scalar pieces of receipt JSON text, appended to one growing buffer.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "formats/float_text.hpp"
#include "formats/json_writer.hpp"
#include "receipts/value_types.hpp"

namespace tessary::receipts::json_encode {

using formats::json::write_string;

template <class Integer>
void append_integer(Integer n, std::string& out) {
  char buf[24];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, end);
}

// Shortest round-trip text, ".0" kept on integral values; JSON has no NaN or
// infinity, so those are null.
inline void append_f64(double value, std::string& out) {
  if (std::isfinite(value)) {
    formats::format_f64(value, out);
  } else {
    out.append("null");
  }
}

// The shortest text of the single-precision value, not of its widened double.
inline void append_f32(float value, std::string& out) {
  if (std::isfinite(value)) {
    formats::format_f32(value, out);
  } else {
    out.append("null");
  }
}

// Quoted, 36 characters, lowercase, hyphenated 8-4-4-4-12.
inline void append_uuid(const Uuid& uuid, std::string& out) {
  constexpr char kHex[] = "0123456789abcdef";
  char text[38];
  std::size_t at = 0;
  text[at++] = '"';
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text[at++] = '-';
    text[at++] = kHex[uuid[i] >> 4];
    text[at++] = kHex[uuid[i] & 0xF];
  }
  text[at++] = '"';
  out.append(text, at);
}

// `"name":` for a key that needs no escaping (every wire name).
inline void append_key(std::string_view name, std::string& out) {
  out.push_back('"');
  out.append(name);
  out.append("\":");
}

}  // namespace tessary::receipts::json_encode
