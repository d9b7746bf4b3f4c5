#include "storage/utf8_text.hpp"

#include <cstdint>
#include <cstring>

#include "formats/utf8.hpp"

namespace tessary::storage {
namespace {

// Number of leading bytes of the sequence at `p` that could still begin a
// well-formed character (at least 1), and whether they make a whole one.
struct Prefix {
  std::size_t length;
  bool complete;
};

Prefix valid_prefix(const unsigned char* p, const unsigned char* end) {
  const unsigned char lead = *p;
  std::size_t need = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {1, false};
  }
  std::size_t length = 1;
  for (; length < need && p + length < end; ++length) {
    const unsigned char byte = p[length];
    const unsigned char lo = length == 1 ? low : 0x80;
    const unsigned char hi = length == 1 ? high : 0xBF;
    if (byte < lo || byte > hi) break;
  }
  return {length, length == need};
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept { return formats::utf8::is_valid(bytes); }

std::string lossy_utf8(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    if (*p < 0x80) {
      out += static_cast<char>(*p++);
      continue;
    }
    const Prefix prefix = valid_prefix(p, end);
    if (prefix.complete) {
      out.append(reinterpret_cast<const char*>(p), prefix.length);
    } else {
      out += "\xEF\xBF\xBD";
    }
    p += prefix.length;
  }
  return out;
}

}  // namespace tessary::storage
