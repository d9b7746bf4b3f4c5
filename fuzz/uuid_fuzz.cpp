// Any accepted text names a UUID whose canonical text parses to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "formats/uuid.hpp"

namespace uuid = tessary::formats::uuid;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = uuid::parse(text);
  if (!parsed) {
    if (parsed.error().to_string().empty()) std::abort();
    return 0;
  }
  const std::string canonical = uuid::format(*parsed);
  if (canonical.size() != 36) std::abort();
  auto again = uuid::parse(canonical);
  if (!again || *again != *parsed) std::abort();
  return 0;
}
