// Hostile bytes must never crash the decoder; whatever it accepts must
// re-encode, decode again to the same encoding, and canonicalise stably.
#include <cstdint>
#include <cstdlib>

#include "formats/cbor_canon.hpp"
#include "formats/cbor_decoder.hpp"
#include "formats/cbor_encoder.hpp"

namespace cbor = tessary::formats::cbor;
namespace canon = tessary::formats::cbor_canon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto item = cbor::decode(std::span(data, size));
  if (!item) {
    (void)item.error().to_string();
    return 0;
  }
  (void)cbor::diagnostic(*item);

  auto first = cbor::encode(*item);
  if (!first) std::abort();  // anything decoded is shallow enough to encode
  auto again = cbor::decode(*first);
  if (!again) std::abort();
  auto second = cbor::encode(*again);
  if (!second || *second != *first) std::abort();

  auto canonical = canon::canonical_encode(*item);
  if (!canonical) std::abort();
  auto reread = cbor::decode(*canonical);
  if (!reread) std::abort();
  auto recanonical = canon::canonical_encode(*reread);
  if (!recanonical || *recanonical != *canonical) std::abort();
  return 0;
}
