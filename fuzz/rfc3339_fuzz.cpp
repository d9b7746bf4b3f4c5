// Any accepted timestamp names an instant that formats and reads back to
// the same seconds and nanoseconds.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "formats/rfc3339.hpp"

namespace rfc3339 = tessary::formats::rfc3339;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = rfc3339::parse(text);
  if (!parsed) {
    (void)parsed.error().to_string();
    return 0;
  }
  if (parsed->nanos >= 1'000'000'000) std::abort();
  // An offset can move an instant just outside the years 0000..9999.
  auto formatted = rfc3339::format_utc(parsed->unix_seconds, parsed->nanos);
  if (!formatted) return 0;
  auto again = rfc3339::parse(*formatted);
  if (!again || *again != *parsed) std::abort();
  return 0;
}
