#include "formats/json_writer.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "formats/float_text.hpp"

namespace tessary::formats::json {

namespace {

// For each byte: 0 when written as it is, else the letter of its two-character
// escape, or 'u' for the \u00xx form.
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

// First byte in [p, end) that needs an escape.
const char* find_escape(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i last_control = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Unsigned x <= 0x1F exactly when max(x, 0x1F) == 0x1F.
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(chunk, last_control), last_control);
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)), control);
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
    if (mask != 0) return p + std::countr_zero(mask);
    p += 16;
  }
#endif
  while (p < end && kEscapes[static_cast<unsigned char>(*p)] == 0) ++p;
  return p;
}

void write_escape(unsigned char c, std::string& out) {
  const char letter = kEscapes[c];
  if (letter != 'u') {
    const char pair[2] = {'\\', letter};
    out.append(pair, 2);
    return;
  }
  constexpr char kHex[] = "0123456789abcdef";
  const char six[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
  out.append(six, 6);
}

template <class Integer>
void write_integer(Integer n, std::string& out) {
  char buf[24];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, end);
}

}  // namespace

void write_string(std::string_view text, std::string& out) {
  out.push_back('"');
  const char* p = text.data();
  const char* const end = p + text.size();
  for (;;) {
    const char* stop = find_escape(p, end);
    out.append(p, stop);
    if (stop == end) break;
    write_escape(static_cast<unsigned char>(*stop), out);
    p = stop + 1;
  }
  out.push_back('"');
}

void write_compact(const Value& value, std::string& out) {
  switch (value.kind()) {
    case Kind::Null: out.append("null"); return;
    case Kind::Bool: out.append(value.as_bool() ? "true" : "false"); return;
    case Kind::UInt: write_integer(value.as_uint(), out); return;
    case Kind::Int: write_integer(value.as_int(), out); return;
    case Kind::Float: format_f64(value.as_float(), out); return;
    case Kind::String: write_string(value.as_string(), out); return;
    case Kind::Array: {
      out.push_back('[');
      bool first = true;
      for (const Value& item : value.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        write_compact(item, out);
      }
      out.push_back(']');
      return;
    }
    case Kind::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.as_object()) {
        if (!first) out.push_back(',');
        first = false;
        write_string(key, out);
        out.push_back(':');
        write_compact(member, out);
      }
      out.push_back('}');
      return;
    }
  }
}

std::string to_compact(const Value& value) {
  std::string text;
  text.reserve(256);
  write_compact(value, text);
  return text;
}

}  // namespace tessary::formats::json
