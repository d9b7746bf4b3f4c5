#pragma once
// UTF-8 well-formedness (RFC 3629: no overlong forms, no surrogates, nothing
// above U+10FFFF), as JSON strings require it.
#include <cstddef>
#include <string_view>

#include "formats/utf8.hpp"

namespace tessary::formats::json {

// Length of the well-formed multi-byte sequence starting at `p` (whose first
// byte is >= 0x80): 2 to 4; 0 when the bytes are not UTF-8; -1 when they are
// a correct start that `end` cuts short.
inline int utf8_sequence_length(const unsigned char* p, const unsigned char* end) noexcept {
  const utf8::Lead rule = utf8::lead(p[0]);
  const int length = rule.length;
  if (length < 2) return 0;
  for (int i = 1; i < length; ++i) {
    if (p + i >= end) return -1;
    const unsigned char byte = p[i];
    const bool fits = i == 1 ? byte >= rule.second_low && byte <= rule.second_high : utf8::is_continuation(byte);
    if (!fits) return 0;
  }
  return length;
}

bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace tessary::formats::json
