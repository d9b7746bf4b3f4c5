#pragma once
// MinHash signatures of chunk sets, for estimating the Jaccard overlap of two
// inputs without holding their chunk lists side by side.
//
// The hash family is fixed so that anyone can recompute a signature from the
// chunk digests alone. With p = 2^61 - 1:
//   x      = the first 8 bytes of a chunk's SHA-256 digest, big-endian, mod p
//   d_i    = SHA-256("tessary/minhash/v1" || i as 4 bytes big-endian)
//   a_i    = (first 8 bytes of d_i, big-endian) mod (p - 1) + 1
//   b_i    = (bytes 8..15 of d_i, big-endian) mod p
//   h_i(x) = (a_i * x + b_i) mod p
// Value i of the signature is the least h_i over the set; for the empty set
// every value is p, which no hash reaches.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessary::engine {

inline constexpr std::uint64_t kMinHashPrime = (std::uint64_t{1} << 61) - 1;
inline constexpr std::string_view kMinHashLabel = "tessary/minhash/v1";
inline constexpr std::size_t kChunkDigestSize = 32;
// More values than this is a mistake, not a sketch (32 MiB of signature).
inline constexpr std::size_t kMinHashMaxValues = std::size_t{1} << 22;

struct MinHashCoefficients {
  std::uint64_t a;
  std::uint64_t b;
};

// The coefficients of h_i.
MinHashCoefficients minhash_coefficients(std::uint32_t i) noexcept;

// h(x) for one member of the family; x must be below p.
std::uint64_t minhash_apply(const MinHashCoefficients& c, std::uint64_t x) noexcept;

enum class MinHashErrorKind { DigestLength, ValueCount, Interrupted };

struct MinHashError {
  MinHashErrorKind kind;
  std::size_t value;  // the byte length or the value count that was refused

  std::string to_string() const;
};

// The k-value signature of the set of chunk digests given back to back
// (32 bytes each; repeats and order do not matter). Polls for interrupts.
std::expected<std::vector<std::uint64_t>, MinHashError> minhash_signature(std::span<const std::uint8_t> digests,
                                                                          std::size_t k);

// The signature as k values of 8 bytes, big-endian.
std::vector<std::uint8_t> minhash_bytes(std::span<const std::uint64_t> values);

}  // namespace tessary::engine
