// The window-hash screen (chunk_window_screen_kernel.hpp) on AVX2: 16 lanes
// in a 256-bit register, one group of 16 lanes per 128-bit half.
#include "engine/chunk_window_scan.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#define TESSARY_SCREEN_TARGET __attribute__((target("avx2")))
#include "engine/chunk_window_screen_kernel.hpp"

namespace tessary::engine {

namespace {

struct Avx2Lanes {
  using Vec = __m256i;
  static constexpr std::size_t kLanes = 16;
  static constexpr unsigned kBitsPerLane = 2;  // movemask has one bit per byte

  // Rows k and k + 8 share a register, so the 128-bit halves transpose in parallel.
  TESSARY_SCREEN_TARGET static void load_rows(const std::uint8_t* p, std::size_t stride, Vec r[8]) noexcept {
    for (std::size_t k = 0; k < 8; ++k) {
      const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k * stride));
      const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (k + 8) * stride));
      r[k] = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
    }
  }
  TESSARY_SCREEN_TARGET static Vec unpacklo8(Vec a, Vec b) noexcept { return _mm256_unpacklo_epi8(a, b); }
  TESSARY_SCREEN_TARGET static Vec unpackhi8(Vec a, Vec b) noexcept { return _mm256_unpackhi_epi8(a, b); }
  TESSARY_SCREEN_TARGET static Vec unpacklo16(Vec a, Vec b) noexcept { return _mm256_unpacklo_epi16(a, b); }
  TESSARY_SCREEN_TARGET static Vec unpackhi16(Vec a, Vec b) noexcept { return _mm256_unpackhi_epi16(a, b); }
  TESSARY_SCREEN_TARGET static Vec unpacklo32(Vec a, Vec b) noexcept { return _mm256_unpacklo_epi32(a, b); }
  TESSARY_SCREEN_TARGET static Vec unpackhi32(Vec a, Vec b) noexcept { return _mm256_unpackhi_epi32(a, b); }
  TESSARY_SCREEN_TARGET static Vec add16(Vec a, Vec b) noexcept { return _mm256_add_epi16(a, b); }
  TESSARY_SCREEN_TARGET static Vec sub16(Vec a, Vec b) noexcept { return _mm256_sub_epi16(a, b); }
  TESSARY_SCREEN_TARGET static Vec mullo16(Vec a, Vec b) noexcept { return _mm256_mullo_epi16(a, b); }
  TESSARY_SCREEN_TARGET static Vec slli16(Vec a, int n) noexcept { return _mm256_slli_epi16(a, n); }
  TESSARY_SCREEN_TARGET static Vec min_epu16(Vec a, Vec b) noexcept { return _mm256_min_epu16(a, b); }
  TESSARY_SCREEN_TARGET static Vec and_(Vec a, Vec b) noexcept { return _mm256_and_si256(a, b); }
  TESSARY_SCREEN_TARGET static Vec set1_16(short v) noexcept { return _mm256_set1_epi16(v); }
  TESSARY_SCREEN_TARGET static Vec zero() noexcept { return _mm256_setzero_si256(); }
  TESSARY_SCREEN_TARGET static std::uint32_t zero_lanes(Vec v) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(v, _mm256_setzero_si256())));
  }
};

}  // namespace

bool cpu_has_avx2() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

TESSARY_SCREEN_TARGET std::size_t first_low_bits_clear_avx2(const std::uint8_t* p, std::size_t count,
                                                            std::uint16_t mask) noexcept {
  return screen_first_low_bits_clear<Avx2Lanes>(p, count, mask);
}

}  // namespace tessary::engine

#else  // other architectures scan with the portable code only

namespace tessary::engine {

bool cpu_has_avx2() noexcept { return false; }

std::size_t first_low_bits_clear_avx2(const std::uint8_t* p, std::size_t count, std::uint16_t mask) noexcept {
  return first_low_bits_clear_scalar(p, count, mask);
}

}  // namespace tessary::engine

#endif
