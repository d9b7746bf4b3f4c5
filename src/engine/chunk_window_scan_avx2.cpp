// The AVX2 screen for window hashes, on 16-bit lanes.
//
// A rolling hash is one long dependency chain (a multiply or shift-subtract
// per byte), slower than SHA-256 itself. The chain is broken by giving each
// of 16 lanes its own stretch of L consecutive window starts: lane k rolls
// over positions q_k = k*L, ..., k*L + L, all lanes in step. To feed the
// lanes, 16x16 byte tiles (16 bytes from each lane's stretch) are transposed
// so that one vector holds the next byte of every lane, already widened to
// 16 bits. Only the low 16 bits of the hash are kept; they are exact because
// the low bits of a wrapping polynomial hash depend on nothing above them.
//
// A block of 16 lanes is scanned to its end before looking for hits; lanes
// cover increasing positions, so the first lane that saw a hit holds the
// first hit, which a scalar pass over that one lane then pins down.
#include "engine/chunk_window_scan.hpp"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>

#define TESSARY_AVX2 __attribute__((target("avx2")))

namespace tessary::engine {

namespace {

constexpr std::size_t kLanes = 16;
constexpr std::size_t kTile = 16;        // steps per transposed tile
constexpr std::size_t kMinLaneLen = 16;  // one tile per lane: still several times the scalar speed
constexpr std::size_t kMaxLaneLen = 512; // longer: more work wasted past the first hit
constexpr std::size_t kNoHit = ~std::size_t{0};

// out[t] element k = p[k * stride + t] as a 16-bit value, for t, k < 16.
TESSARY_AVX2 inline void load_tile(const std::uint8_t* p, std::size_t stride, __m256i out[kTile]) noexcept {
  // Rows k and k + 8 share a register, so the 128-bit halves transpose in parallel.
  __m256i r[8];
  for (std::size_t k = 0; k < 8; ++k) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k * stride));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + (k + 8) * stride));
    r[k] = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
  }
  // Bytes of row pairs, then 2-byte groups of row quads, then 4-byte groups:
  // afterwards each 64-bit element holds one column of 8 rows.
  __m256i a[8];
  for (std::size_t j = 0; j < 4; ++j) {
    a[2 * j] = _mm256_unpacklo_epi8(r[2 * j], r[2 * j + 1]);       // columns 0-7
    a[2 * j + 1] = _mm256_unpackhi_epi8(r[2 * j], r[2 * j + 1]);   // columns 8-15
  }
  const __m256i b[8] = {
      _mm256_unpacklo_epi16(a[0], a[2]), _mm256_unpackhi_epi16(a[0], a[2]),  // rows 0-3, cols 0-3 / 4-7
      _mm256_unpacklo_epi16(a[1], a[3]), _mm256_unpackhi_epi16(a[1], a[3]),  // rows 0-3, cols 8-11 / 12-15
      _mm256_unpacklo_epi16(a[4], a[6]), _mm256_unpackhi_epi16(a[4], a[6]),  // rows 4-7, cols 0-3 / 4-7
      _mm256_unpacklo_epi16(a[5], a[7]), _mm256_unpackhi_epi16(a[5], a[7]),  // rows 4-7, cols 8-11 / 12-15
  };
  const __m256i zero = _mm256_setzero_si256();
  for (std::size_t j = 0; j < 4; ++j) {
    const __m256i lo = _mm256_unpacklo_epi32(b[j], b[j + 4]);  // columns 4j, 4j+1
    const __m256i hi = _mm256_unpackhi_epi32(b[j], b[j + 4]);  // columns 4j+2, 4j+3
    out[4 * j] = _mm256_unpacklo_epi8(lo, zero);
    out[4 * j + 1] = _mm256_unpackhi_epi8(lo, zero);
    out[4 * j + 2] = _mm256_unpacklo_epi8(hi, zero);
    out[4 * j + 3] = _mm256_unpackhi_epi8(hi, zero);
  }
}

// One block: lanes start at p + k*len and test window starts t = 0..len.
// Returns the first position (relative to p) whose low hash bits are clear,
// or kNoHit. Reads p[0, 16*len + 48).
TESSARY_AVX2 std::size_t scan_block(const std::uint8_t* p, std::size_t len, std::uint16_t mask) noexcept {
  // ring[g % 3] holds the tile of bytes 16g .. 16g+15 of every lane: the bytes
  // entering the window three tiles (48 steps) earlier are the ones leaving now.
  __m256i ring[3][kTile];
  load_tile(p, len, ring[0]);
  load_tile(p + kTile, len, ring[1]);
  load_tile(p + 2 * kTile, len, ring[2]);

  const __m256i mul31 = _mm256_set1_epi16(31);
  __m256i h = _mm256_setzero_si256();
  for (auto& tile : ring) {
    for (const __m256i& in : tile) h = _mm256_add_epi16(_mm256_mullo_epi16(h, mul31), in);
  }

  const __m256i vmask = _mm256_set1_epi16(static_cast<short>(mask));
  const __m256i out_factor = _mm256_set1_epi16(static_cast<short>(kWindowOutFactor));
  // Minimum of the masked hashes seen per lane: 0 once the lane has a hit.
  __m256i seen = _mm256_and_si256(h, vmask);

  // The lanes read 16 strided streams, which hardware prefetchers follow
  // poorly; fetching the next block's lines in order, a few per tile, keeps
  // the scan from waiting on memory. (Prefetches never fault.)
  // A block is 16*len bytes and len/16 tiles: 256 bytes, four lines, per tile.
  const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(p) + kLanes * len;
  for (std::size_t g = 0, slot = 0; g < len / kTile; ++g, slot = slot == 2 ? 0 : slot + 1) {
    for (std::size_t line = 0; line < 4; ++line) {
      _mm_prefetch(reinterpret_cast<const char*>(ahead + g * 256 + line * 64), _MM_HINT_T0);
    }
    __m256i in[kTile];
    load_tile(p + kWindowSize + g * kTile, len, in);
    for (std::size_t t = 0; t < kTile; ++t) {
      // h*31 + in - 31^48*out, with h*31 as (h << 5) - h to keep the chain short.
      const __m256i d = _mm256_sub_epi16(in[t], _mm256_mullo_epi16(ring[slot][t], out_factor));
      h = _mm256_add_epi16(_mm256_slli_epi16(h, 5), _mm256_sub_epi16(d, h));
      seen = _mm256_min_epu16(seen, _mm256_and_si256(h, vmask));
      ring[slot][t] = in[t];
    }
  }

  const unsigned hits = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(seen, _mm256_setzero_si256())));
  if (hits == 0) return kNoHit;
  const std::size_t lane = static_cast<std::size_t>(std::countr_zero(hits)) / 2;
  const std::size_t base = lane * len;
  const std::size_t at = first_low_bits_clear_scalar(p + base, len + 1, mask);
  return at <= len ? base + at : kNoHit;  // the lane's hit is always found again
}

}  // namespace

bool cpu_has_avx2() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

TESSARY_AVX2 std::size_t first_low_bits_clear_avx2(const std::uint8_t* p, std::size_t count, std::uint16_t mask) noexcept {
  std::size_t i = 0;
  // A block with lanes of length len reads up to 16*len + 47 bytes past its
  // start and the caller guarantees count + 47: so 16*len <= count - i - 1.
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

bool cpu_has_avx2() noexcept { return false; }

std::size_t first_low_bits_clear_avx2(const std::uint8_t* p, std::size_t count, std::uint16_t mask) noexcept {
  return first_low_bits_clear_scalar(p, count, mask);
}

}  // namespace tessary::engine

#endif
