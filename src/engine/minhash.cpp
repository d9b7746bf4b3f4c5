#include "engine/minhash.hpp"

#include <algorithm>
#include <array>

#include "formats/interrupt.hpp"
#include "formats/sha256.hpp"

namespace tessary::engine {

namespace {

__extension__ typedef unsigned __int128 Wide;

std::uint64_t load_be64(const std::uint8_t* bytes) noexcept {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | bytes[i];
  return value;
}

// a * x + b mod 2^61 - 1 with a, x, b below the prime: the product splits at
// bit 61, and 2^61 = 1 (mod p) folds the high part onto the low one.
std::uint64_t mul_add_mod(std::uint64_t a, std::uint64_t x, std::uint64_t b) noexcept {
  const Wide product = static_cast<Wide>(a) * x + b;
  std::uint64_t folded = static_cast<std::uint64_t>(product & kMinHashPrime) + static_cast<std::uint64_t>(product >> 61);
  folded = (folded & kMinHashPrime) + (folded >> 61);
  return folded >= kMinHashPrime ? folded - kMinHashPrime : folded;
}

// Digests hashed together, and between two interrupt polls (a few
// milliseconds at k = 512).
constexpr std::size_t kBlock = 1024;

}  // namespace

MinHashCoefficients minhash_coefficients(std::uint32_t i) noexcept {
  std::string seed(kMinHashLabel);
  for (int shift = 24; shift >= 0; shift -= 8) seed.push_back(static_cast<char>((i >> shift) & 0xFF));
  const formats::Digest d = formats::sha256(std::string_view(seed));
  return {load_be64(d.data()) % (kMinHashPrime - 1) + 1, load_be64(d.data() + 8) % kMinHashPrime};
}

std::uint64_t minhash_apply(const MinHashCoefficients& c, std::uint64_t x) noexcept {
  return mul_add_mod(c.a, x, c.b);
}

std::string MinHashError::to_string() const {
  switch (kind) {
    case MinHashErrorKind::DigestLength:
      return "chunk digests must be 32 bytes each, got " + std::to_string(value) + " bytes";
    case MinHashErrorKind::ValueCount:
      return "a signature needs between 1 and " + std::to_string(kMinHashMaxValues) + " values, got " +
             std::to_string(value);
    case MinHashErrorKind::Interrupted:
      return "interrupted";
  }
  return "unknown sketch error";
}

std::expected<std::vector<std::uint64_t>, MinHashError> minhash_signature(std::span<const std::uint8_t> digests,
                                                                          std::size_t k) {
  if (digests.size() % kChunkDigestSize != 0) {
    return std::unexpected(MinHashError{MinHashErrorKind::DigestLength, digests.size()});
  }
  if (k == 0 || k > kMinHashMaxValues) return std::unexpected(MinHashError{MinHashErrorKind::ValueCount, k});
  std::vector<std::uint64_t> a(k), b(k);
  for (std::size_t i = 0; i < k; ++i) {
    const MinHashCoefficients c = minhash_coefficients(static_cast<std::uint32_t>(i));
    a[i] = c.a;
    b[i] = c.b;
  }
  std::vector<std::uint64_t> values(k, kMinHashPrime);
  const std::size_t count = digests.size() / kChunkDigestSize;
  // A block of inputs at a time, each hash over the whole block: a_i, b_i
  // and the running least stay in registers through the inner loop.
  std::array<std::uint64_t, kBlock> xs{};
  for (std::size_t first = 0; first < count; first += kBlock) {
    if (first > 0 && formats::interrupt_requested()) {
      return std::unexpected(MinHashError{MinHashErrorKind::Interrupted, 0});
    }
    const std::size_t n = std::min(kBlock, count - first);
    for (std::size_t j = 0; j < n; ++j) {
      xs[j] = load_be64(digests.data() + (first + j) * kChunkDigestSize) % kMinHashPrime;
    }
    for (std::size_t i = 0; i < k; ++i) {
      std::uint64_t least = values[i];
      for (std::size_t j = 0; j < n; ++j) least = std::min(least, mul_add_mod(a[i], xs[j], b[i]));
      values[i] = least;
    }
  }
  return values;
}

std::vector<std::uint8_t> minhash_bytes(std::span<const std::uint64_t> values) {
  std::vector<std::uint8_t> out;
  out.reserve(values.size() * 8);
  for (const std::uint64_t v : values) {
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>((v >> shift) & 0xFF));
  }
  return out;
}

}  // namespace tessary::engine
