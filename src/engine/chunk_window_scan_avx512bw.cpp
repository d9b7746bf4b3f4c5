// The 16-bit screen of chunk_window_scan_avx2.cpp on 512-bit registers: 32
// lanes, two blocks of 16 side by side. Every step of the 256-bit kernel
// works within 128-bit halves, so the same code on wider registers runs the
// low half's 16 lanes and the high half's 16 lanes at once: register half
// j holds lanes 16j .. 16j+15, which follow each other in the input, so the
// first lane with a hit still holds the first hit.
#include "engine/chunk_window_scan.hpp"

#if defined(__x86_64__) || defined(__i386__)

// GCC 12's AVX-512 headers start some intrinsics from a self-initialised
// "undefined" vector, which its own flow analysis then reports.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>

#define TESSARY_AVX512BW __attribute__((target("avx512f,avx512bw")))

namespace tessary::engine {

namespace {

constexpr std::size_t kLanes = 32;
constexpr std::size_t kTile = 16;        // steps per transposed tile
constexpr std::size_t kMinLaneLen = 16;  // one tile per lane: still several times the scalar speed
constexpr std::size_t kMaxLaneLen = 512; // longer: more work wasted past the first hit
constexpr std::size_t kNoHit = ~std::size_t{0};

// out[t] element k = p[k * stride + t] as a 16-bit value, for t < 16, k < 32.
TESSARY_AVX512BW inline void load_tile(const std::uint8_t* p, std::size_t stride, __m512i out[kTile]) noexcept {
  // Rows k, k + 8, k + 16 and k + 24 share a register, so the four 128-bit
  // quarters transpose in parallel.
  __m512i r[8];
  for (std::size_t k = 0; k < 8; ++k) {
    __m512i row = _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k * stride)));
    for (int q = 1; q < 4; ++q) {
      const __m128i more = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (k + 8 * q) * stride));
      row = q == 1 ? _mm512_inserti32x4(row, more, 1) : q == 2 ? _mm512_inserti32x4(row, more, 2) : _mm512_inserti32x4(row, more, 3);
    }
    r[k] = row;
  }
  // Bytes of row pairs, then 2-byte groups of row quads, then 4-byte groups:
  // afterwards each 64-bit element holds one column of 8 rows.
  __m512i a[8];
  for (std::size_t j = 0; j < 4; ++j) {
    a[2 * j] = _mm512_unpacklo_epi8(r[2 * j], r[2 * j + 1]);       // columns 0-7
    a[2 * j + 1] = _mm512_unpackhi_epi8(r[2 * j], r[2 * j + 1]);   // columns 8-15
  }
  const __m512i b[8] = {
      _mm512_unpacklo_epi16(a[0], a[2]), _mm512_unpackhi_epi16(a[0], a[2]),  // rows 0-3, cols 0-3 / 4-7
      _mm512_unpacklo_epi16(a[1], a[3]), _mm512_unpackhi_epi16(a[1], a[3]),  // rows 0-3, cols 8-11 / 12-15
      _mm512_unpacklo_epi16(a[4], a[6]), _mm512_unpackhi_epi16(a[4], a[6]),  // rows 4-7, cols 0-3 / 4-7
      _mm512_unpacklo_epi16(a[5], a[7]), _mm512_unpackhi_epi16(a[5], a[7]),  // rows 4-7, cols 8-11 / 12-15
  };
  const __m512i zero = _mm512_setzero_si512();
  for (std::size_t j = 0; j < 4; ++j) {
    const __m512i lo = _mm512_unpacklo_epi32(b[j], b[j + 4]);  // columns 4j, 4j+1
    const __m512i hi = _mm512_unpackhi_epi32(b[j], b[j + 4]);  // columns 4j+2, 4j+3
    out[4 * j] = _mm512_unpacklo_epi8(lo, zero);
    out[4 * j + 1] = _mm512_unpackhi_epi8(lo, zero);
    out[4 * j + 2] = _mm512_unpacklo_epi8(hi, zero);
    out[4 * j + 3] = _mm512_unpackhi_epi8(hi, zero);
  }
}

// One block: lanes start at p + k*len and test window starts t = 0..len.
// Returns the first position (relative to p) whose low hash bits are clear,
// or kNoHit. Reads p[0, 16*len + 48).
TESSARY_AVX512BW std::size_t scan_block(const std::uint8_t* p, std::size_t len, std::uint16_t mask) noexcept {
  // ring[g % 3] holds the tile of bytes 16g .. 16g+15 of every lane: the bytes
  // entering the window three tiles (48 steps) earlier are the ones leaving now.
  __m512i ring[3][kTile];
  load_tile(p, len, ring[0]);
  load_tile(p + kTile, len, ring[1]);
  load_tile(p + 2 * kTile, len, ring[2]);

  const __m512i mul31 = _mm512_set1_epi16(31);
  __m512i h = _mm512_setzero_si512();
  for (auto& tile : ring) {
    for (const __m512i& in : tile) h = _mm512_add_epi16(_mm512_mullo_epi16(h, mul31), in);
  }

  const __m512i vmask = _mm512_set1_epi16(static_cast<short>(mask));
  const __m512i out_factor = _mm512_set1_epi16(static_cast<short>(kWindowOutFactor));
  // Minimum of the masked hashes seen per lane: 0 once the lane has a hit.
  __m512i seen = _mm512_and_si512(h, vmask);

  // The lanes read 16 strided streams, which hardware prefetchers follow
  // poorly; fetching the next block's lines in order, a few per tile, keeps
  // the scan from waiting on memory. (Prefetches never fault.)
  // A block is 32*len bytes and len/16 tiles: 512 bytes, eight lines, per tile.
  const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(p) + kLanes * len;
  for (std::size_t g = 0, slot = 0; g < len / kTile; ++g, slot = slot == 2 ? 0 : slot + 1) {
    for (std::size_t line = 0; line < 8; ++line) {
      _mm_prefetch(reinterpret_cast<const char*>(ahead + g * 512 + line * 64), _MM_HINT_T0);
    }
    __m512i in[kTile];
    load_tile(p + kWindowSize + g * kTile, len, in);
    for (std::size_t t = 0; t < kTile; ++t) {
      // h*31 + in - 31^48*out, with h*31 as (h << 5) - h to keep the chain short.
      const __m512i d = _mm512_sub_epi16(in[t], _mm512_mullo_epi16(ring[slot][t], out_factor));
      h = _mm512_add_epi16(_mm512_slli_epi16(h, 5), _mm512_sub_epi16(d, h));
      seen = _mm512_min_epu16(seen, _mm512_and_si512(h, vmask));
      ring[slot][t] = in[t];
    }
  }

  const std::uint32_t hits = _mm512_cmpeq_epi16_mask(seen, _mm512_setzero_si512());
  if (hits == 0) return kNoHit;
  const std::size_t lane = static_cast<std::size_t>(std::countr_zero(hits));
  const std::size_t base = lane * len;
  const std::size_t at = first_low_bits_clear_scalar(p + base, len + 1, mask);
  return at <= len ? base + at : kNoHit;  // the lane's hit is always found again
}

}  // namespace

bool cpu_has_avx512bw() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  }();
  return has;
}

TESSARY_AVX512BW std::size_t first_low_bits_clear_avx512(const std::uint8_t* p, std::size_t count, std::uint16_t mask) noexcept {
  std::size_t i = 0;
  // A block with lanes of length len reads up to 32*len + 47 bytes past its
  // start and the caller guarantees count + 47: so 32*len <= count - i - 1.
  // Blocks of about an eighth of the expected distance between hits waste
  // little work past the first one.
  const std::size_t max_len = std::clamp<std::size_t>((std::size_t{mask} + 1) / (8 * kLanes), kMinLaneLen, kMaxLaneLen);
  while (count - i > kLanes * kMinLaneLen) {
    const std::size_t len = std::min(max_len, (count - i - 1) / kLanes / kTile * kTile);
    const std::size_t hit = scan_block(p + i, len, mask);
    if (hit != kNoHit) return i + hit;
    i += kLanes * len;
  }
  return i + first_low_bits_clear_scalar(p + i, count - i, mask);
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
