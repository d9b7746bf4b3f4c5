// Arbitrary text into the strict receipt check. It must agree with the lenient
// reading on what is a receipt at all, and whatever it passes must read
// leniently and write back to text it passes again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "receipts/json_adapter.hpp"
#include "receipts/strict_reader.hpp"

namespace {

using namespace tessary::receipts;

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto strict = check_strict(text);
  auto lenient = receipt_from_json(text);

  if (!strict) {
    const StrictError& error = strict.error();
    if (error.kind == StrictError::Kind::Unreadable) {
      require(!lenient.has_value() && lenient.error().to_string() == error.text);
    } else if (error.kind != StrictError::Kind::Repeated) {
      // Members are only looked at once the text reads as a receipt.
      require(lenient.has_value());
    }
    require(!error.text.empty());
    return 0;
  }
  require(lenient.has_value());
  auto written = receipt_to_json(*lenient);
  require(written.has_value());
  require(check_strict(*written).has_value());
  return 0;
}
