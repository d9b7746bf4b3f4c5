#include "engine/chunk_window_scan.hpp"

#include <cstdint>

namespace tessary::engine {

namespace {

// Below this many trailing zero bits the screen passes too many candidates
// to pay for itself (one in 2^bits positions gets a full check).
constexpr unsigned kMinScreenBits = 10;
// Below this average the 64-bit kernel's blocks run far past most hits.
constexpr std::uint64_t kMinWideAverage = 512;

template <class Test>
std::size_t first_match_scalar(const std::uint8_t* p, std::size_t count, const Test& test) noexcept {
  if (count == 0) return 0;
  std::uint64_t h = window_hash(p);
  for (std::size_t i = 0;; ++i) {
    if (test(h)) return i;
    if (i + 1 == count) return count;
    h = roll_window(h, p[i], p[i + kWindowSize]);
  }
}

}  // namespace

std::size_t first_low_bits_clear_scalar(const std::uint8_t* p, std::size_t count, std::uint64_t mask) noexcept {
  return first_match_scalar(p, count, [mask](std::uint64_t h) { return (h & mask) == 0; });
}

std::size_t first_divisible_scalar(const std::uint8_t* p, std::size_t count, const DivisibilityTest& test) noexcept {
  return first_match_scalar(p, count, test);
}

WindowScanner::WindowScanner(std::uint64_t avg_size) noexcept : test_(avg_size) {
  const unsigned bits = test_.trailing_zeros() < 16 ? test_.trailing_zeros() : 16;
  low_mask_ = static_cast<std::uint16_t>((std::uint32_t{1} << bits) - 1);
  screen_exact_ = test_.power_of_two() && bits == test_.trailing_zeros();
  use_kernel_ = bits >= kMinScreenBits && cpu_has_avx2();
  wide_screen_ = use_kernel_ && cpu_has_avx512bw();
  use_wide_kernel_ = !screen_exact_ && avg_size >= kMinWideAverage && cpu_has_avx512();
  avg_size_ = avg_size;
}

std::size_t WindowScanner::first_boundary(const std::uint8_t* p, std::size_t count) const noexcept {
  if (use_wide_kernel_) {
    const std::size_t gap = avg_size_ > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(avg_size_);
    return first_divisible_avx512(p, count, test_, gap);
  }
  if (!use_kernel_) {
    if (test_.power_of_two()) return first_low_bits_clear_scalar(p, count, test_.mask());
    return first_divisible_scalar(p, count, test_);
  }
  std::size_t i = 0;
  while (i < count) {
    i += wide_screen_ ? first_low_bits_clear_avx512(p + i, count - i, low_mask_)
                      : first_low_bits_clear_avx2(p + i, count - i, low_mask_);
    if (i == count || screen_exact_ || test_(window_hash(p + i))) return i;
    ++i;
  }
  return count;
}

}  // namespace tessary::engine
