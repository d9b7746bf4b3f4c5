#pragma once
// The 48-byte window hash that places content-defined cuts, and the test of
// "hash mod avg_size == 0" without a hardware division per position.
//
// The hash of the window p[i, i+48) is the polynomial
//   W(i) = sum_{j<48} p[i+j] * 31^(47-j)   (mod 2^64),
// i.e. start at 0 and set h = h*31 + b for each byte in order. Sliding the
// window by one byte drops the oldest byte's term and appends the new one:
//   W(i+1) = 31*W(i) + p[i+48] - 31^48 * p[i]   (mod 2^64),
// which is exact in wrapping arithmetic because every step is a ring
// operation. For the same reason the low k bits of W depend only on the low
// k bits of every intermediate value, so a test modulo 2^k can run in k-bit
// lanes.
#include <bit>
#include <cstddef>
#include <cstdint>

namespace tessary::engine {

inline constexpr std::size_t kWindowSize = 48;
inline constexpr std::uint64_t kWindowBase = 31;

// 31^48 mod 2^64: the weight of the byte that leaves the window.
inline constexpr std::uint64_t kWindowOutFactor = [] {
  std::uint64_t f = 1;
  for (std::size_t i = 0; i < kWindowSize; ++i) f *= kWindowBase;
  return f;
}();

// W over the 48 bytes at p, by its definition.
inline std::uint64_t window_hash(const std::uint8_t* p) noexcept {
  std::uint64_t h = 0;
  for (std::size_t j = 0; j < kWindowSize; ++j) h = h * kWindowBase + p[j];
  return h;
}

// 31*h as (h << 5) - h, grouped so that only one shift and one add depend
// on the previous hash: the byte terms are ready long before h is.
inline std::uint64_t roll_window(std::uint64_t h, std::uint8_t out, std::uint8_t in) noexcept {
  static_assert(kWindowBase == 31);
  std::uint64_t bytes = std::uint64_t{in} - kWindowOutFactor * out;
#if defined(__GNUC__)
  // Compilers regroup this into three or four operations in a row on h;
  // empty barriers pin the grouping.
  asm("" : "+r"(bytes));
#endif
  std::uint64_t rest = bytes - h;
#if defined(__GNUC__)
  asm("" : "+r"(rest));
#endif
  return (h << 5) + rest;
}

// Whether h is a multiple of the divisor (> 0). Powers of two test a mask;
// other divisors d * 2^k (d odd) use the multiplicative-inverse test:
// h is a multiple exactly when rotr(h * d^-1, k) <= floor((2^64 - 1) / divisor).
class DivisibilityTest {
 public:
  explicit constexpr DivisibilityTest(std::uint64_t divisor) noexcept
      : shift_(static_cast<unsigned>(std::countr_zero(divisor))),
        power_of_two_(std::has_single_bit(divisor)),
        mask_(divisor - 1),
        inverse_(odd_inverse(divisor >> shift_)),
        limit_(~std::uint64_t{0} / divisor) {}

  constexpr bool operator()(std::uint64_t h) const noexcept {
    if (power_of_two_) return (h & mask_) == 0;
    return std::rotr(h * inverse_, static_cast<int>(shift_)) <= limit_;
  }

  bool power_of_two() const noexcept { return power_of_two_; }
  // divisor - 1: for a power of two, the bits a multiple has clear.
  std::uint64_t mask() const noexcept { return mask_; }
  // Number of trailing zero bits of the divisor: every multiple has at least as many.
  unsigned trailing_zeros() const noexcept { return shift_; }
  // The test's two constants, for vector code that applies it lane by lane.
  std::uint64_t inverse() const noexcept { return inverse_; }
  std::uint64_t limit() const noexcept { return limit_; }

 private:
  // Newton's iteration doubles the correct low bits each step: 3 -> 96 bits.
  static constexpr std::uint64_t odd_inverse(std::uint64_t d) noexcept {
    std::uint64_t x = d;
    for (int i = 0; i < 5; ++i) x *= 2 - d * x;
    return x;
  }

  unsigned shift_;
  bool power_of_two_;
  std::uint64_t mask_;
  std::uint64_t inverse_;
  std::uint64_t limit_;
};

}  // namespace tessary::engine
