// Fuzzes the chunker: a scheme and a byte stream derived from the input are
// cut by the fast chunker, by the same chunker fed in pieces, and by a plain
// implementation of the cutting rule; all must agree. The vector window
// screen is also held against the scalar scan.
//
// Input layout: [kind/avg selector: 2 bytes] [repeat: 1 byte] [split seed: 1 byte] [data...]
// The data is repeated `repeat` times (up to 64 KiB) so that long streams
// and large averages are reached from short inputs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/chunk_window_scan.hpp"
#include "engine/chunker.hpp"
#include "../tests/cpp/reference_chunker.hpp"
#include "engine/data_shape.hpp"

using namespace tessary::engine;

namespace {

}  // namespace

using namespace tessary::engine::reference;

namespace {


ChunkScheme scheme_from(std::uint8_t a, std::uint8_t b) {
  const std::uint64_t v = std::uint64_t(a) << 8 | b;
  switch (v % 8) {
    case 0: return ChunkScheme::fixed(1 + v / 8 % 300);
    case 1: return ChunkScheme::cdc(std::uint64_t{1} << (v / 8 % 17));  // powers of two up to 65536
    case 2: return ChunkScheme::cdc((v / 8 % 8 + 1) << 10);              // multiples of 1024: screened
    default: return ChunkScheme::cdc(1 + v / 8 % 700);                   // small, mostly not powers of two
  }
}

// Piece sizes from a tiny generator; some pieces are empty or a single byte.
std::size_t next_piece(std::uint32_t& state, std::size_t rest) {
  state = state * 1103515245u + 12345u;
  const std::size_t bound = (state >> 16) % 4 == 0 ? 3 : 5000;
  return std::min(rest, std::size_t(state >> 8) % bound);
}

}  // namespace

// Long enough for several chunks at the largest averages drawn, short
// enough for the plain rule (48 steps per position) to keep up.
constexpr std::size_t kMaxStream = std::size_t{1} << 16;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size < 4) return 0;
  const ChunkScheme scheme = scheme_from(input[0], input[1]);
  const std::size_t repeat = 1 + input[2] % 64;
  std::uint32_t split_state = input[3];
  Bytes data;
  for (std::size_t r = 0; r < repeat && data.size() < kMaxStream; ++r) data.insert(data.end(), input + 4, input + size);

  const auto chunks = chunk_bytes(data, scheme);
  if (!chunks) __builtin_trap();
  std::vector<Cut> whole;
  for (const Chunk& c : *chunks) whole.push_back({c.offset, c.length});
  if (whole != reference_cuts(data, scheme)) __builtin_trap();

  CutList streamed;
  Chunker chunker(scheme);
  DataShapeHasher hasher(scheme, true);
  // Copied after the first piece, wherever that leaves the chunker (mid-window,
  // holding lookahead bytes): the copy must carry on exactly as the original.
  std::optional<DataShapeHasher> fork;
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t len = next_piece(split_state, data.size() - at);
    const Bytes piece(data.begin() + at, data.begin() + at + len);  // its own allocation
    chunker.update(piece, streamed);
    hasher.update(piece);
    if (fork) {
      fork->update(piece);
    } else {
      fork.emplace(hasher);
    }
    at += len;
  }
  chunker.finish(streamed);
  if (streamed.cuts != whole) __builtin_trap();
  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (streamed.digests[i] != (*chunks)[i].digest) __builtin_trap();
  }
  const auto hash = hasher.finish();
  if (hash != compute_data_shape_hash_from_bytes(data, scheme)) __builtin_trap();
  if (fork && fork->finish() != hash) __builtin_trap();
  if (hasher.chunks().size() != whole.size()) __builtin_trap();
  for (std::size_t i = 0; i < whole.size(); ++i) {
    const ChunkExtent& kept = hasher.chunks()[i];
    if (kept.offset != whole[i].offset || kept.length != whole[i].length || kept.digest != (*chunks)[i].digest) {
      __builtin_trap();
    }
  }

  if (data.size() > 48) {
    const std::uint16_t mask = static_cast<std::uint16_t>((std::uint32_t{1} << (input[1] % 17)) - 1);
    const std::size_t count = data.size() - 47;
    const std::size_t want = first_low_bits_clear_scalar(data.data(), count, mask);
    if (cpu_has_avx2() && first_low_bits_clear_avx2(data.data(), count, mask) != want) __builtin_trap();
    if (cpu_has_avx512bw() && first_low_bits_clear_avx512(data.data(), count, mask) != want) __builtin_trap();
  }
  return 0;
}
