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
  const formats::utf8::Lead rule = formats::utf8::lead(*p);
  if (rule.length == 0) return {1, false};
  std::size_t length = 1;
  for (; length < rule.length && p + length < end; ++length) {
    const unsigned char byte = p[length];
    const bool fits = length == 1 ? byte >= rule.second_low && byte <= rule.second_high : formats::utf8::is_continuation(byte);
    if (!fits) break;
  }
  return {length, length == rule.length};
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
