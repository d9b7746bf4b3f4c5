// The window-hash screen (chunk_window_screen_kernel.hpp) on AVX-512BW: 32
// lanes in a 512-bit register, one group of 16 lanes per 128-bit quarter.
#include "engine/chunk_window_scan.hpp"

#if defined(__x86_64__) || defined(__i386__)

// GCC 12's AVX-512 headers start some intrinsics from a self-initialised
// "undefined" vector, which its own flow analysis then reports.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#define TESSARY_SCREEN_TARGET __attribute__((target("avx512f,avx512bw")))
#include "engine/chunk_window_screen_kernel.hpp"

namespace tessary::engine {

namespace {

struct Avx512Lanes {
  using Vec = __m512i;
  static constexpr std::size_t kLanes = 32;
  static constexpr unsigned kBitsPerLane = 1;

  // Rows k, k + 8, k + 16 and k + 24 share a register, so the four 128-bit
  // quarters transpose in parallel.
  TESSARY_SCREEN_TARGET static void load_rows(const std::uint8_t* p, std::size_t stride, Vec r[8]) noexcept {
    for (std::size_t k = 0; k < 8; ++k) {
      __m512i row = _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k * stride)));
      // The quarter is an immediate operand, hence one call per value.
      for (int q = 1; q < 4; ++q) {
        const __m128i more = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (k + 8 * q) * stride));
        row = q == 1 ? _mm512_inserti32x4(row, more, 1) : q == 2 ? _mm512_inserti32x4(row, more, 2) : _mm512_inserti32x4(row, more, 3);
      }
      r[k] = row;
    }
  }
  TESSARY_SCREEN_TARGET static Vec unpacklo8(Vec a, Vec b) noexcept { return _mm512_unpacklo_epi8(a, b); }
  TESSARY_SCREEN_TARGET static Vec unpackhi8(Vec a, Vec b) noexcept { return _mm512_unpackhi_epi8(a, b); }
  TESSARY_SCREEN_TARGET static Vec unpacklo16(Vec a, Vec b) noexcept { return _mm512_unpacklo_epi16(a, b); }
  TESSARY_SCREEN_TARGET static Vec unpackhi16(Vec a, Vec b) noexcept { return _mm512_unpackhi_epi16(a, b); }
  TESSARY_SCREEN_TARGET static Vec unpacklo32(Vec a, Vec b) noexcept { return _mm512_unpacklo_epi32(a, b); }
  TESSARY_SCREEN_TARGET static Vec unpackhi32(Vec a, Vec b) noexcept { return _mm512_unpackhi_epi32(a, b); }
  TESSARY_SCREEN_TARGET static Vec add16(Vec a, Vec b) noexcept { return _mm512_add_epi16(a, b); }
  TESSARY_SCREEN_TARGET static Vec sub16(Vec a, Vec b) noexcept { return _mm512_sub_epi16(a, b); }
  TESSARY_SCREEN_TARGET static Vec mullo16(Vec a, Vec b) noexcept { return _mm512_mullo_epi16(a, b); }
  TESSARY_SCREEN_TARGET static Vec slli16(Vec a, int n) noexcept { return _mm512_slli_epi16(a, static_cast<unsigned>(n)); }
  TESSARY_SCREEN_TARGET static Vec min_epu16(Vec a, Vec b) noexcept { return _mm512_min_epu16(a, b); }
  TESSARY_SCREEN_TARGET static Vec and_(Vec a, Vec b) noexcept { return _mm512_and_si512(a, b); }
  TESSARY_SCREEN_TARGET static Vec set1_16(short v) noexcept { return _mm512_set1_epi16(v); }
  TESSARY_SCREEN_TARGET static Vec zero() noexcept { return _mm512_setzero_si512(); }
  TESSARY_SCREEN_TARGET static std::uint32_t zero_lanes(Vec v) noexcept {
    return _mm512_cmpeq_epi16_mask(v, _mm512_setzero_si512());
  }
};

}  // namespace

bool cpu_has_avx512bw() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  }();
  return has;
}

TESSARY_SCREEN_TARGET std::size_t first_low_bits_clear_avx512(const std::uint8_t* p, std::size_t count,
                                                              std::uint16_t mask) noexcept {
  return screen_first_low_bits_clear<Avx512Lanes>(p, count, mask);
}

}  // namespace tessary::engine

#else  // other architectures scan with the portable code only

namespace tessary::engine {

bool cpu_has_avx512bw() noexcept { return false; }

std::size_t first_low_bits_clear_avx512(const std::uint8_t* p, std::size_t count, std::uint16_t mask) noexcept {
  return first_low_bits_clear_scalar(p, count, mask);
}

}  // namespace tessary::engine

#endif
