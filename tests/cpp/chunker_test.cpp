// Chunk boundaries held against a plain implementation of the cutting rule
// (window hash recomputed from its definition at every position), for many
// average sizes, input shapes and lengths around every boundary case. Streams
// fed in random pieces are the chunker fuzz target's property.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <span>
#include <vector>

#include "engine/chunk_window_scan.hpp"
#include "engine/chunker.hpp"
#include "reference_chunker.hpp"
#include "engine/data_shape.hpp"
#include "engine/merkle_root.hpp"
#include "formats/sha256.hpp"
#include "test_support.hpp"

using namespace tessary::engine;
using tessary::formats::Digest;

using namespace tessary::engine::reference;

namespace {

std::vector<Cut> cuts_of(const std::vector<Chunk>& chunks) {
  std::vector<Cut> cuts;
  for (const Chunk& c : chunks) cuts.push_back({c.offset, c.length});
  return cuts;
}

enum class Shape { Random, Zeros, Ones, LowEntropy, Periodic };

Bytes make_input(Shape shape, std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes data(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t r = rng();  // in the order of Shape
    const std::uint8_t values[] = {std::uint8_t(r), 0, 0xff, std::uint8_t(r % 3 == 0), std::uint8_t(i % 7 * 37)};
    data[i] = values[int(shape)];
  }
  return data;
}

// Lengths at and around min, min + 48, max, max + 47 and a few chunks in.
std::vector<std::size_t> boundary_lengths(std::uint64_t a) {
  const std::int64_t min = std::int64_t(a / 2), max = std::int64_t(2 * a), w = 48;
  std::set<std::int64_t> lengths = {0, 1, 2, w - 1, w, w + 1};
  for (std::int64_t base : {min, min + w, max, max + w - 2, 2 * max, 2 * max + w - 2, 3 * max + min}) {
    for (std::int64_t d = -1; d <= 1; ++d) lengths.insert(base + d);
  }
  std::vector<std::size_t> out;
  for (std::int64_t v : lengths) if (v >= 0) out.push_back(std::size_t(v));
  return out;
}

const std::uint64_t kAverages[] = {1, 2, 3, 5, 31, 32, 63, 64, 100, 1000, 4096, 65535, 65536};

}  // namespace

TEST(Chunker, MatchesPlainRuleAroundEveryBoundary) {
  for (std::uint64_t a : kAverages) {
    for (Shape shape : {Shape::Random, Shape::Zeros, Shape::Ones, Shape::LowEntropy, Shape::Periodic}) {
      for (std::size_t n : boundary_lengths(a)) {
        if (a >= 4096 && shape == Shape::Periodic && n > 4 * a) continue;  // keeps the run short
        const Bytes data = make_input(shape, n, a * 131 + n);
        ASSERT_EQ(cuts_of(support::value_of(chunk_bytes(data, ChunkScheme::cdc(a)))), reference_cuts(data, ChunkScheme::cdc(a)))
            << "avg " << a << " shape " << int(shape) << " n " << n;
      }
    }
  }
}

// Long streams at large averages are the fuzz target's and the scan tests' below.
TEST(Chunker, OverflowingAveragesAndFixedSizesAroundTheLength) {
  // Averages whose limits overflow 64 bits leave everything in one chunk. Chunk
  // digests and ids are the Python tests'.
  const Bytes data = make_input(Shape::Random, 5000, 11);
  for (std::uint64_t a : {std::uint64_t{1} << 62, std::uint64_t{1} << 63, ~std::uint64_t{0}}) {
    ASSERT_EQ(cuts_of(*chunk_bytes(data, ChunkScheme::cdc(a))), (std::vector<Cut>{{0, 5000}}));
  }
  for (std::uint64_t size : {1ull, 7ull, 4999ull, 5000ull, 5001ull, ~0ull}) {
    ASSERT_EQ(cuts_of(*chunk_bytes(data, ChunkScheme::fixed(size))), reference_cuts(data, ChunkScheme::fixed(size))) << size;
  }
}

// With A = 64 (min 32, max 128) and no window starting at 32..80 passing the
// test, 150 bytes stay one chunk (the input ends within 47 bytes of the
// maximum) while 200 bytes are cut at the maximum.
TEST(Chunker, MaximumCutNeedsFortySevenFollowingBytes) {
  Bytes data;
  for (std::uint64_t seed = 0;; ++seed) {
    data = make_input(Shape::Random, 200, seed);
    bool any = false;
    for (std::size_t i = 32; i <= 80; ++i) any |= plain_window_hash(&data[i]) % 64 == 0;
    if (!any) break;
  }
  const Bytes first150(data.begin(), data.begin() + 150);
  EXPECT_EQ(cuts_of(*chunk_bytes(first150, ChunkScheme::cdc(64))), (std::vector<Cut>{{0, 150}}));
  EXPECT_EQ(cuts_of(*chunk_bytes(data, ChunkScheme::cdc(64))), (std::vector<Cut>{{0, 128}, {128, 72}}));
  // Exactly 47 bytes after the maximum make the cut stand; 46 do not.
  EXPECT_EQ(cuts_of(*chunk_bytes(Bytes(data.begin(), data.begin() + 175), ChunkScheme::cdc(64))), (std::vector<Cut>{{0, 128}, {128, 47}}));
  EXPECT_EQ(cuts_of(*chunk_bytes(Bytes(data.begin(), data.begin() + 174), ChunkScheme::cdc(64))), (std::vector<Cut>{{0, 174}}));
}

TEST(WindowScan, DivisibilityTestAgreesWithRemainder) {
  std::mt19937_64 rng(1);
  for (std::uint64_t d : {1ull, 2ull, 3ull, 5ull, 6ull, 7ull, 100ull, 1000ull, 12288ull, 65535ull, 65537ull,
                          (1ull << 63) + 1, ~0ull, 3ull << 62}) {
    const DivisibilityTest test(d);
    for (int i = 0; i < 20000; ++i) {
      const std::uint64_t h = i % 2 ? rng() : d * (rng() % 1000) + (rng() % 3);
      ASSERT_EQ(test(h), h % d == 0) << d << " " << h;
    }
  }
}

TEST(Merkle, AccumulatorEqualsLevelByLevelTree) {
  std::vector<Digest> digests;
  for (std::size_t count = 0; count <= 300; ++count) {
    MerkleAccumulator acc;
    for (const Digest& d : digests) acc.add(d);
    ASSERT_EQ(acc.root(), merkle_root(digests)) << count;
    Digest next{};
    next[0] = std::uint8_t(count);
    next[1] = std::uint8_t(count >> 8);
    digests.push_back(tessary::formats::sha256(std::span<const std::uint8_t>(next)));
  }
  // How an odd node is carried up is pinned by the Python tests' literal hash of three fixed chunks.
}

// The vector scans (every lane, block and remainder length) against the
// portable scan, for averages with and without factors of two.
TEST(WindowScan, FirstBoundaryEqualsPortableScan) {
  std::mt19937_64 rng(5);
  const Bytes random = make_input(Shape::Random, 1 << 20, 1);
  const Bytes sparse = make_input(Shape::LowEntropy, 1 << 20, 2);
  for (std::uint64_t a : {600ull, 1000ull, 1024ull, 3072ull, 50000ull, 65535ull, 65536ull, 1000000ull, 1ull << 20,
                          (1ull << 20) + 1, 3ull << 40}) {
    const WindowScanner scanner(a);
    const DivisibilityTest test(a);
    for (const Bytes* data : {&random, &sparse}) {
      for (int i = 0; i < 200; ++i) {
        const std::size_t count = rng() % std::min<std::uint64_t>(4 * a + 5000, data->size() / 2);
        const std::size_t at = rng() % (data->size() - count - 47);
        const std::uint8_t* p = data->data() + at;
        ASSERT_EQ(scanner.first_boundary(p, count), first_divisible_scalar(p, count, test)) << "avg " << a << " at " << at;
      }
    }
  }
}

// Both register widths of the 16-bit screen against the portable scan, each
// on its own: a processor with the wider one never sends WindowScanner to the
// narrower one. Every mask from one bit to sixteen, short and long runs.
TEST(WindowScan, BothScreenWidthsEqualPortableScan) {
  using Screen = std::size_t (*)(const std::uint8_t*, std::size_t, std::uint16_t) noexcept;
  std::vector<Screen> screens;
  if (cpu_has_avx2()) screens.push_back(&first_low_bits_clear_avx2);
  if (cpu_has_avx512bw()) screens.push_back(&first_low_bits_clear_avx512);
  if (screens.empty()) GTEST_SKIP() << "no vector screen on this processor";
  std::mt19937_64 rng(9);
  const Bytes random = make_input(Shape::Random, 1 << 19, 3);
  const Bytes sparse = make_input(Shape::LowEntropy, 1 << 19, 4);
  for (unsigned bits = 1; bits <= 16; ++bits) {
    const auto mask = static_cast<std::uint16_t>((1u << bits) - 1);
    for (const Bytes* data : {&random, &sparse}) {
      for (int i = 0; i < 60; ++i) {
        const std::size_t count = rng() % (i % 2 ? 600 : std::min<std::size_t>(8u << bits, data->size() / 2));
        const std::uint8_t* p = data->data() + rng() % (data->size() - count - 47);
        const std::size_t want = first_low_bits_clear_scalar(p, count, mask);
        for (Screen screen : screens) ASSERT_EQ(screen(p, count, mask), want) << "bits " << bits << " count " << count;
      }
    }
  }
}
