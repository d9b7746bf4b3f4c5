#include "formats/cbor_diagnostic.hpp"

#include <charconv>
#include <cmath>
#include <type_traits>

#include "formats/cbor_encoder.hpp"

namespace tessary::formats::cbor {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_integer(std::string& out, const Integer& value) {
  if (!value.negative) {
    out += std::to_string(value.n);
  } else if (value.n == UINT64_MAX) {
    out += "-18446744073709551616";  // -1 - n does not fit any built-in type
  } else {
    out += '-';
    out += std::to_string(value.n + 1);
  }
}

void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += value < 0 ? "-Infinity" : "Infinity";
  } else {
    // Shortest round-trip digits, positional for decimal exponents -4..15 and
    // scientific beyond, as Python's repr writes them.
    char buffer[400];
    auto sci = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string_view digits(buffer, static_cast<std::size_t>(sci.ptr - buffer));
    int exponent = 0;
    const char* e = digits.data() + digits.find('e') + 1;
    if (*e == '+') ++e;
    std::from_chars(e, digits.data() + digits.size(), exponent);
    if (exponent >= -4 && exponent < 16) {
      auto fixed = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
      digits = std::string_view(buffer, static_cast<std::size_t>(fixed.ptr - buffer));
    }
    out += digits;
    // Keep floats distinguishable from integers.
    if (digits.find_first_of(".e") == std::string_view::npos) out += ".0";
  }
}

void append_text(std::string& out, const std::string& text) {
  out += '"';
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  out += '"';
}

void append_bytes(std::string& out, const Bytes& bytes) {
  out += "h'";
  for (std::uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  out += '\'';
}

void append_simple(std::string& out, const Simple& simple) {
  if (simple.value == 23) {
    out += "undefined";
  } else {
    out += "simple(" + std::to_string(simple.value) + ")";
  }
}

void append_item(std::string& out, const Item& item, std::size_t depth) {
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Integer>) {
          append_integer(out, v);
        } else if constexpr (std::is_same_v<T, Bytes>) {
          append_bytes(out, v);
        } else if constexpr (std::is_same_v<T, double>) {
          append_float(out, v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          append_text(out, v);
        } else if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, Null>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, Simple>) {
          append_simple(out, v);
        } else if (depth >= kMaxEncodeDepth) {
          out += "...";
        } else if constexpr (std::is_same_v<T, Array>) {
          out += '[';
          for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out += ", ";
            append_item(out, v[i], depth + 1);
          }
          out += ']';
        } else if constexpr (std::is_same_v<T, Map>) {
          out += '{';
          for (std::size_t i = 0; i < v.size(); ++i) {
            if (i) out += ", ";
            append_item(out, v[i].first, depth + 1);
            out += ": ";
            append_item(out, v[i].second, depth + 1);
          }
          out += '}';
        } else {
          static_assert(std::is_same_v<T, Tagged>);
          out += std::to_string(v.number) + "(";
          if (v.value) append_item(out, *v.value, depth + 1);
          out += ')';
        }
      },
      item.v);
}

}  // namespace

std::string diagnostic(const Item& item) {
  std::string out;
  append_item(out, item, 0);
  return out;
}

}  // namespace tessary::formats::cbor
