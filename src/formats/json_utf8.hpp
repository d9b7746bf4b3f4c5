#pragma once
// UTF-8 well-formedness (RFC 3629: no overlong forms, no surrogates, nothing
// above U+10FFFF), as JSON strings require it.
#include <cstddef>
#include <string_view>

namespace tessary::formats::json {

// Length of the well-formed multi-byte sequence starting at `p` (whose first
// byte is >= 0x80): 2 to 4; 0 when the bytes are not UTF-8; -1 when they are
// a correct start that `end` cuts short.
inline int utf8_sequence_length(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned char lead = p[0];
  int length;
  unsigned char low = 0x80;  // allowed range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // UTF-16 surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  for (int i = 1; i < length; ++i) {
    if (p + i >= end) return -1;
    const unsigned char byte = p[i];
    const unsigned char lo = i == 1 ? low : 0x80;
    const unsigned char hi = i == 1 ? high : 0xBF;
    if (byte < lo || byte > hi) return 0;
  }
  return length;
}

bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace tessary::formats::json
