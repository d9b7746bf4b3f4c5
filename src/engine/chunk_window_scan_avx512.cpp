// The AVX-512 scan for window hashes on full 64-bit lanes, for averages that
// are not powers of two.
//
// The screen on 16-bit lanes (chunk_window_screen_kernel.hpp) works because the
// low bits of the hash decide divisibility by a power of two. Divisibility
// by an odd factor depends on every bit, so here each of 8 lanes keeps whole
// 64-bit values for its own stretch of L consecutive window starts and
// applies the exact multiplicative-inverse test of DivisibilityTest to every
// position: rotr(W * d^-1, k) <= limit.
//
// A lane rolls the prefix hash P(n) = P(n-1)*31 + p[n-1] of its stretch
// (P(0) = 0), one shift, subtract and add per byte; a window's hash is
//   W(i) = P(i+48) - 31^48 * P(i)   (mod 2^64),
// the terms of the bytes before i cancelling. The last 48 prefixes wait in a
// small ring, so each position costs one byte, one roll and two multiplies.
// Bytes reach the lanes through 8x8 transposes of 64-bit words, one per 64
// steps; a byte permute moves byte j of each lane's word to its bottom.
//
// A block tracks the smallest tested value per lane; afterwards the first
// lane at or under the limit holds the first hit, pinned down by the
// portable scan over that lane alone.
#include "engine/chunk_window_scan.hpp"

#if defined(__x86_64__)

// GCC 12's AVX-512 headers start masked intrinsics from a self-initialised
// "undefined" vector, which its own flow analysis then reports.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>

#define TESSARY_AVX512 __attribute__((target("avx512f,avx512dq,avx512bw,avx512vbmi")))

namespace tessary::engine {

namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kTile = 64;          // steps served by one transposed tile
constexpr std::size_t kMinLaneLen = 64;
constexpr std::size_t kMaxLaneLen = 2048;  // longer: more work wasted past the first hit
constexpr std::size_t kNoHit = ~std::size_t{0};
constexpr __mmask64 kLowBytes = 0x0101010101010101ULL;

// out[g] holds, in 64-bit lane k, bytes 8g .. 8g+7 of p + k*stride: an 8x8
// transpose of 64-bit words in three rounds of pairing.
TESSARY_AVX512 inline void load_tile(const std::uint8_t* p, std::size_t stride, __m512i out[8]) noexcept {
  __m512i r[8];
  for (std::size_t k = 0; k < 8; ++k) r[k] = _mm512_loadu_si512(p + k * stride);
  __m512i t[8];
  for (std::size_t k = 0; k < 8; k += 2) {
    t[k] = _mm512_unpacklo_epi64(r[k], r[k + 1]);      // words 0,2,4,6 of rows k, k+1
    t[k + 1] = _mm512_unpackhi_epi64(r[k], r[k + 1]);  // words 1,3,5,7
  }
  const __m512i even = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
  const __m512i odd = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
  __m512i u[8];  // u[0]: rows 0-3 of words 0 and 4 ... see the index vectors
  for (std::size_t half = 0; half < 2; ++half) {
    const std::size_t a = 4 * half;
    u[a] = _mm512_permutex2var_epi64(t[a], even, t[a + 2]);          // words 0, 4
    u[a + 1] = _mm512_permutex2var_epi64(t[a + 1], even, t[a + 3]);  // words 1, 5
    u[a + 2] = _mm512_permutex2var_epi64(t[a], odd, t[a + 2]);       // words 2, 6
    u[a + 3] = _mm512_permutex2var_epi64(t[a + 1], odd, t[a + 3]);   // words 3, 7
  }
  const __m512i low = _mm512_set_epi64(11, 10, 9, 8, 3, 2, 1, 0);
  const __m512i high = _mm512_set_epi64(15, 14, 13, 12, 7, 6, 5, 4);
  for (std::size_t w = 0; w < 4; ++w) {
    out[w] = _mm512_permutex2var_epi64(u[w], low, u[w + 4]);
    out[w + 4] = _mm512_permutex2var_epi64(u[w], high, u[w + 4]);
  }
}

struct Screen {
  __m512i inverse;
  __m512i limit;
  __m512i rotation;
};

// One block: lane k tests window starts k*len + t for t < len (len a
// multiple of 64). The first hit relative to p, or kNoHit. Reads
// p[0, 8*len + 48).
// One block: lane k tests window starts k*len + t for t < len (len a
// multiple of 64). The first hit relative to p, or kNoHit. Reads
// p[0, 8*len + 48).
template <bool kRotate>
TESSARY_AVX512 std::size_t scan_block(const std::uint8_t* p, std::size_t len, const Screen& screen,
                                      const DivisibilityTest& test) noexcept {
  alignas(64) __m512i ring[64];  // P(t) at t mod 64: 48 back is still there
  const __m512i out_factor = _mm512_set1_epi64(static_cast<long long>(kWindowOutFactor));
  __m512i prefix = _mm512_setzero_si512();
  ring[0] = prefix;
  {
    __m512i first[8];
    load_tile(p, len, first);
    for (std::size_t g = 0; g < 6; ++g) {
      for (unsigned j = 0; j < 8; ++j) {
        const __m512i b = _mm512_and_si512(_mm512_srli_epi64(first[g], 8 * j), _mm512_set1_epi64(0xFF));
        prefix = _mm512_add_epi64(_mm512_slli_epi64(prefix, 5), _mm512_sub_epi64(b, prefix));
        if (g * 8 + j + 1 < 48) ring[g * 8 + j + 1] = prefix;
      }
    }
  }
  // Here prefix = P(48) and ring[t] = P(t) for t < 48.
  // The smallest tested value of each lane: at or under the limit after a hit.
  __m512i least = _mm512_set1_epi64(-1);
  // The lanes read 8 strided streams, which hardware prefetchers follow
  // poorly: fetch the next block in order, 8*len bytes over len/64 tiles,
  // so 512 bytes (eight lines) per tile. (Prefetches never fault.)
  const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(p) + kLanes * len;
  for (std::size_t t = 0; t < len; t += kTile) {
    for (std::size_t line = 0; line < 8; ++line) {
      _mm_prefetch(reinterpret_cast<const char*>(ahead + t * 8 + line * 64), _MM_HINT_T0);
    }
    __m512i ins[8];
    load_tile(p + t + kWindowSize, len, ins);
    for (std::size_t g = 0; g < 8; ++g) {
      for (unsigned j = 0; j < 8; ++j) {
        const std::size_t step = t + g * 8 + j;
        // prefix = P(step + 48): the window at `step` ends here.
        const __m512i w = _mm512_sub_epi64(prefix, _mm512_mullo_epi64(ring[step & 63], out_factor));
        ring[(step + 48) & 63] = prefix;
        __m512i q = _mm512_mullo_epi64(w, screen.inverse);
        if constexpr (kRotate) q = _mm512_rorv_epi64(q, screen.rotation);
        least = _mm512_min_epu64(least, q);
        const __m512i byte_j = _mm512_add_epi64(_mm512_set1_epi64(j), _mm512_set_epi64(56, 48, 40, 32, 24, 16, 8, 0));
        const __m512i in = _mm512_maskz_permutexvar_epi8(kLowBytes, byte_j, ins[g]);
        prefix = _mm512_add_epi64(_mm512_slli_epi64(prefix, 5), _mm512_sub_epi64(in, prefix));
      }
    }
  }

  const __mmask8 hits = _mm512_cmple_epu64_mask(least, screen.limit);
  if (hits == 0) return kNoHit;
  const std::size_t base = static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(hits))) * len;
  const std::size_t at = first_divisible_scalar(p + base, len, test);
  return at < len ? base + at : kNoHit;  // the lane's hit is always found again
}

}  // namespace

bool cpu_has_avx512() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
  }();
  return has;
}

TESSARY_AVX512 std::size_t first_divisible_avx512(const std::uint8_t* p, std::size_t count, const DivisibilityTest& test,
                                                  std::size_t expected_gap) noexcept {
  const Screen screen{_mm512_set1_epi64(static_cast<long long>(test.inverse())),
                      _mm512_set1_epi64(static_cast<long long>(test.limit())),
                      _mm512_set1_epi64(test.trailing_zeros())};
  const bool rotate = test.trailing_zeros() != 0;
  // Blocks of about an eighth of the expected distance between hits waste
  // little work past the first one.
  const std::size_t max_len = std::clamp<std::size_t>(expected_gap / (8 * kLanes) / kTile * kTile, kMinLaneLen, kMaxLaneLen);
  std::size_t i = 0;
  // A block reads 8*len + 47 bytes past its start (and the gathers one more);
  // the caller guarantees count + 47: so 8*len <= count - i - 1.
  while (count - i > kLanes * kMinLaneLen) {
    const std::size_t len = std::min(max_len, (count - i - 1) / kLanes / kTile * kTile);
    const std::size_t hit = rotate ? scan_block<true>(p + i, len, screen, test) : scan_block<false>(p + i, len, screen, test);
    if (hit != kNoHit) return i + hit;
    i += kLanes * len;
  }
  return i + first_divisible_scalar(p + i, count - i, test);
}

}  // namespace tessary::engine

#else  // other architectures scan with the portable code only

namespace tessary::engine {

bool cpu_has_avx512() noexcept { return false; }

std::size_t first_divisible_avx512(const std::uint8_t* p, std::size_t count, const DivisibilityTest& test,
                                   std::size_t) noexcept {
  return first_divisible_scalar(p, count, test);
}

}  // namespace tessary::engine

#endif
