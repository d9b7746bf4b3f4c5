// Arbitrary text into the receipt JSON adapter. Whatever it accepts must write
// back, read back to the same receipt, and write the same text again; the
// moving fast path and the copying value path must agree on every input.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <variant>

#include "formats/json_reader.hpp"
#include "receipts/json_adapter.hpp"

namespace {

using namespace tessary::receipts;

void require(bool condition) {
  if (!condition) std::abort();
}

// A single-precision score read from a number beyond its range is infinite,
// which JSON writes as null and reads back as absent.
void drop_non_finite(std::optional<float>& value) {
  if (value && !std::isfinite(*value)) value.reset();
}

Receipt as_written(Receipt receipt) {
  if (auto* reasoning = std::get_if<ReasoningShapePayload>(&receipt.payload); reasoning && reasoning->quality) {
    drop_non_finite(reasoning->quality->success_score);
    drop_non_finite(reasoning->quality->confidence);
  }
  return receipt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = receipt_from_json(text);

  if (auto tree = tessary::formats::json::parse_prefix(text)) {
    auto by_value = deserialize_from_json_value(tree->first);
    const bool trailing_ok = tessary::formats::json::expect_end(text, tree->second).has_value();
    if (by_value && trailing_ok) {
      require(first.has_value() && *first == *by_value);
    } else if (!by_value) {
      require(!first.has_value() && first.error().message == by_value.error());
    } else {
      require(!first.has_value());
    }
  } else {
    require(!first.has_value());
  }

  if (!first) {
    require(first.error().kind == AdapterError::Kind::JsonDeserialize);
    return 0;
  }
  auto written = receipt_to_json(*first);
  require(written.has_value());
  auto second = receipt_from_json(*written);
  require(second.has_value());
  require(*second == as_written(*first));
  auto rewritten = receipt_to_json(*second);
  require(rewritten.has_value() && *rewritten == *written);
  return 0;
}
