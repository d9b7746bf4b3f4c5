#pragma once
// The screen for window hashes on 16-bit lanes, written once for any
// register width.
//
// A rolling hash is one long dependency chain (a multiply or shift-subtract
// per byte), slower than SHA-256 itself. The chain is broken by giving each
// lane its own stretch of L consecutive window starts: lane k rolls over
// positions q_k = k*L, ..., k*L + L, all lanes in step. To feed the lanes,
// byte tiles (16 bytes from each lane's stretch) are transposed so that one
// vector holds the next byte of every lane, already widened to 16 bits. Only
// the low 16 bits of the hash are kept; they are exact because the low bits
// of a wrapping polynomial hash depend on nothing above them.
//
// Every step of the transpose works within 128-bit parts of a register, so
// a register of n such parts runs n groups of 16 lanes side by side: part j
// holds lanes 16j .. 16j+15, which follow each other in the input.
//
// A block of lanes is scanned to its end before looking for hits; lanes
// cover increasing positions, so the first lane that saw a hit holds the
// first hit, which a scalar pass over that one lane then pins down.
//
// A register width is described by a traits struct:
//   Vec                      the register type
//   kLanes, kBitsPerLane     16-bit lanes per register; bits per lane in zero_lanes()
//   load_rows(p, stride, r)  r[k] part j = the 16 bytes at p + (k + 8j) * stride, k < 8
//   unpacklo8/16/32, unpackhi8/16/32, add16, sub16, mullo16, slli16, min_epu16,
//   and_, set1_16, zero      the operations of those names, per 128-bit part
//   zero_lanes(v)            a mask with kBitsPerLane bits set for each lane of v equal to 0
//
// The file that includes this header defines TESSARY_SCREEN_TARGET, the
// target attribute its traits need, first. Everything here has internal
// linkage: each file's instantiations are its own, so code built for one
// instruction set can never be merged into a file built for another. An
// attribute rather than a target pragma, so that the inline functions of
// other headers (std::min, window_hash) keep the base instruction set.
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "engine/chunk_window_scan.hpp"

#ifndef TESSARY_SCREEN_TARGET
#error "define TESSARY_SCREEN_TARGET before including chunk_window_screen_kernel.hpp"
#endif

namespace tessary::engine {

namespace {

constexpr std::size_t kScreenTile = 16;        // steps per transposed tile
constexpr std::size_t kScreenMinLaneLen = 16;  // one tile per lane: still several times the scalar speed
constexpr std::size_t kScreenMaxLaneLen = 512; // longer: more work wasted past the first hit
constexpr std::size_t kScreenNoHit = ~std::size_t{0};

// out[t] lane k = p[k * stride + t] as a 16-bit value, for t < 16, k < kLanes.
template <class V>
TESSARY_SCREEN_TARGET inline void screen_load_tile(const std::uint8_t* p, std::size_t stride,
                                                   typename V::Vec out[kScreenTile]) noexcept {
  using Vec = typename V::Vec;
  Vec r[8];
  V::load_rows(p, stride, r);
  // Bytes of row pairs, then 2-byte groups of row quads, then 4-byte groups:
  // afterwards each 64-bit element holds one column of 8 rows.
  Vec a[8];
  for (std::size_t j = 0; j < 4; ++j) {
    a[2 * j] = V::unpacklo8(r[2 * j], r[2 * j + 1]);      // columns 0-7
    a[2 * j + 1] = V::unpackhi8(r[2 * j], r[2 * j + 1]);  // columns 8-15
  }
  const Vec b[8] = {
      V::unpacklo16(a[0], a[2]), V::unpackhi16(a[0], a[2]),  // rows 0-3, cols 0-3 / 4-7
      V::unpacklo16(a[1], a[3]), V::unpackhi16(a[1], a[3]),  // rows 0-3, cols 8-11 / 12-15
      V::unpacklo16(a[4], a[6]), V::unpackhi16(a[4], a[6]),  // rows 4-7, cols 0-3 / 4-7
      V::unpacklo16(a[5], a[7]), V::unpackhi16(a[5], a[7]),  // rows 4-7, cols 8-11 / 12-15
  };
  const Vec zero = V::zero();
  for (std::size_t j = 0; j < 4; ++j) {
    const Vec lo = V::unpacklo32(b[j], b[j + 4]);  // columns 4j, 4j+1
    const Vec hi = V::unpackhi32(b[j], b[j + 4]);  // columns 4j+2, 4j+3
    out[4 * j] = V::unpacklo8(lo, zero);
    out[4 * j + 1] = V::unpackhi8(lo, zero);
    out[4 * j + 2] = V::unpacklo8(hi, zero);
    out[4 * j + 3] = V::unpackhi8(hi, zero);
  }
}

// One block: lanes start at p + k*len and test window starts t = 0..len.
// Returns the first position (relative to p) whose low hash bits are clear,
// or kScreenNoHit. Reads p[0, kLanes*len + 48).
template <class V>
TESSARY_SCREEN_TARGET std::size_t screen_block(const std::uint8_t* p, std::size_t len, std::uint16_t mask) noexcept {
  using Vec = typename V::Vec;
  // ring[g % 3] holds the tile of bytes 16g .. 16g+15 of every lane: the bytes
  // entering the window three tiles (48 steps) earlier are the ones leaving now.
  Vec ring[3][kScreenTile];
  screen_load_tile<V>(p, len, ring[0]);
  screen_load_tile<V>(p + kScreenTile, len, ring[1]);
  screen_load_tile<V>(p + 2 * kScreenTile, len, ring[2]);

  const Vec mul31 = V::set1_16(31);
  Vec h = V::zero();
  for (auto& tile : ring) {
    for (const Vec& in : tile) h = V::add16(V::mullo16(h, mul31), in);
  }

  const Vec vmask = V::set1_16(static_cast<short>(mask));
  const Vec out_factor = V::set1_16(static_cast<short>(kWindowOutFactor));
  // Minimum of the masked hashes seen per lane: 0 once the lane has a hit.
  Vec seen = V::and_(h, vmask);

  // The lanes read strided streams, which hardware prefetchers follow
  // poorly; fetching the next block's lines in order, a few per tile, keeps
  // the scan from waiting on memory. (Prefetches never fault.)
  // A block is kLanes*len bytes and len/16 tiles: kLanes*16 bytes per tile.
  constexpr std::size_t kTileBytes = V::kLanes * kScreenTile;
  const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(p) + V::kLanes * len;
  for (std::size_t g = 0, slot = 0; g < len / kScreenTile; ++g, slot = slot == 2 ? 0 : slot + 1) {
    for (std::size_t line = 0; line < kTileBytes / 64; ++line) {
      _mm_prefetch(reinterpret_cast<const char*>(ahead + g * kTileBytes + line * 64), _MM_HINT_T0);
    }
    Vec in[kScreenTile];
    screen_load_tile<V>(p + kWindowSize + g * kScreenTile, len, in);
    for (std::size_t t = 0; t < kScreenTile; ++t) {
      // h*31 + in - 31^48*out, with h*31 as (h << 5) - h to keep the chain short.
      const Vec d = V::sub16(in[t], V::mullo16(ring[slot][t], out_factor));
      h = V::add16(V::slli16(h, 5), V::sub16(d, h));
      seen = V::min_epu16(seen, V::and_(h, vmask));
      ring[slot][t] = in[t];
    }
  }

  const std::uint32_t hits = V::zero_lanes(seen);
  if (hits == 0) return kScreenNoHit;
  const std::size_t lane = static_cast<std::size_t>(std::countr_zero(hits)) / V::kBitsPerLane;
  const std::size_t base = lane * len;
  const std::size_t at = first_low_bits_clear_scalar(p + base, len + 1, mask);
  return at <= len ? base + at : kScreenNoHit;  // the lane's hit is always found again
}

// first_boundary's contract for the condition "W(i) & mask == 0".
template <class V>
TESSARY_SCREEN_TARGET std::size_t screen_first_low_bits_clear(const std::uint8_t* p, std::size_t count,
                                                              std::uint16_t mask) noexcept {
  std::size_t i = 0;
  // A block with lanes of length len reads up to kLanes*len + 47 bytes past
  // its start and the caller guarantees count + 47: so kLanes*len <= count - i - 1.
  // Blocks of about an eighth of the expected distance between hits waste
  // little work past the first one.
  const std::size_t max_len =
      std::clamp<std::size_t>((std::size_t{mask} + 1) / (8 * V::kLanes), kScreenMinLaneLen, kScreenMaxLaneLen);
  while (count - i > V::kLanes * kScreenMinLaneLen) {
    const std::size_t len = std::min(max_len, (count - i - 1) / V::kLanes / kScreenTile * kScreenTile);
    const std::size_t hit = screen_block<V>(p + i, len, mask);
    if (hit != kScreenNoHit) return i + hit;
    i += V::kLanes * len;
  }
  return i + first_low_bits_clear_scalar(p + i, count - i, mask);
}

}  // namespace

}  // namespace tessary::engine
