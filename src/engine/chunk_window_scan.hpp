#pragma once
// Finds the first window start, in a run of candidate positions, whose
// window hash is a multiple of the average chunk size.
#include <cstddef>
#include <cstdint>

#include "engine/chunk_window.hpp"

namespace tessary::engine {

class WindowScanner {
 public:
  explicit WindowScanner(std::uint64_t avg_size) noexcept;  // avg_size > 0

  // The first i in [0, count) with W(i) mod avg_size == 0, or count when
  // there is none. Reads p[0, count + 47).
  std::size_t first_boundary(const std::uint8_t* p, std::size_t count) const noexcept;

 private:
  DivisibilityTest test_;
  // A multiple of avg_size has at least min(trailing zeros, 16) low zero bits.
  // When that prefilter is selective, the vector kernel screens positions on
  // 16-bit lanes and only its candidates are checked against the full test.
  std::uint16_t low_mask_;
  bool screen_exact_;  // the prefilter alone is the full test
  bool use_kernel_;
  bool wide_screen_;  // the screen on 512-bit registers
  // Other averages test every position exactly on 64-bit lanes, when the
  // processor has them and hits are rare enough for blocks to pay.
  bool use_wide_kernel_;
  std::uint64_t avg_size_;
};

// Portable scans, also used for short runs and remainders. Same contract as
// first_boundary, with the condition "W(i) & mask == 0" or the full test.
std::size_t first_low_bits_clear_scalar(const std::uint8_t* p, std::size_t count, std::uint64_t mask) noexcept;
std::size_t first_divisible_scalar(const std::uint8_t* p, std::size_t count, const DivisibilityTest& test) noexcept;

// The screen on 16-bit lanes (chunk_window_screen_kernel.hpp) with AVX2:
// 16 lanes, chunk_window_scan_avx2.cpp. Callable only when cpu_has_avx2() is true.
bool cpu_has_avx2() noexcept;
std::size_t first_low_bits_clear_avx2(const std::uint8_t* p, std::size_t count, std::uint16_t mask) noexcept;

// The same screen with AVX-512BW: 32 lanes, chunk_window_scan_avx512bw.cpp.
// Callable only when cpu_has_avx512bw() is true.
bool cpu_has_avx512bw() noexcept;
std::size_t first_low_bits_clear_avx512(const std::uint8_t* p, std::size_t count, std::uint16_t mask) noexcept;

// The exact test on 64-bit lanes (chunk_window_scan_avx512.cpp); callable
// only when cpu_has_avx512() is true. `expected_gap` sizes its blocks.
bool cpu_has_avx512() noexcept;
std::size_t first_divisible_avx512(const std::uint8_t* p, std::size_t count, const DivisibilityTest& test,
                                   std::size_t expected_gap) noexcept;

}  // namespace tessary::engine
