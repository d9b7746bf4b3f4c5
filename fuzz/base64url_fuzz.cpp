// Strict decoding means one text per byte string: whatever decodes must be
// exactly the text the encoder writes for those bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "formats/base64url.hpp"

namespace b64 = tessary::formats::base64url;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto decoded = b64::decode(text)) {
    if (b64::encode(*decoded) != text) std::abort();
  } else {
    (void)decoded.error().to_string();
  }
  auto back = b64::decode(b64::encode(std::span(data, size)));
  if (!back || !std::equal(back->begin(), back->end(), data, data + size)) std::abort();
  return 0;
}
