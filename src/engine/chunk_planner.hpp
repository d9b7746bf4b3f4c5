#pragma once
// Where chunks end in bytes that lie together in memory, without digesting
// them: the cuts of the streaming chunker, found ahead of the hashing so
// that the chunks can be digested elsewhere (on other threads) afterwards.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/chunk_boundary.hpp"
#include "engine/chunk_scheme.hpp"

namespace tessary::engine {

class ChunkPlanner {
 public:
  explicit ChunkPlanner(ChunkScheme scheme) noexcept : finder_(scheme), longest_(longest_chunk(scheme)) {}

  // The length of the chunk that starts at data[0] (data not empty). When
  // more input follows (at_end false) and the chunk may run past `data`,
  // nullopt: the caller keeps those bytes and asks again with more.
  std::optional<std::size_t> chunk_end(std::span<const std::uint8_t> data, bool at_end) noexcept {
    finder_.restart();
    const ChunkBoundaryFinder::Cut cut = finder_.next(data);
    if (cut.kind == ChunkBoundaryFinder::CutKind::Final) return cut.consumed;
    // A cut at the maximum stands when enough bytes follow it; otherwise, at
    // the end of the input, the chunk runs to the end.
    if (cut.kind == ChunkBoundaryFinder::CutKind::Tentative && data.size() - cut.consumed >= ChunkBoundaryFinder::kLookahead) {
      return cut.consumed;
    }
    if (at_end) return data.size();
    return std::nullopt;
  }

  // Bytes that always settle where a chunk ends: its maximum length and the
  // look-ahead behind a cut at the maximum. Saturates for huge sizes.
  std::uint64_t settling_span() const noexcept { return longest_; }

 private:
  static std::uint64_t longest_chunk(ChunkScheme scheme) noexcept {
    constexpr std::uint64_t kCap = std::uint64_t{1} << 62;
    const std::uint64_t max = scheme.is_cdc() ? (scheme.size >= kCap / 2 ? kCap : 2 * scheme.size) : std::min(scheme.size, kCap);
    return max + ChunkBoundaryFinder::kLookahead;
  }

  ChunkBoundaryFinder finder_;
  std::uint64_t longest_;
};

}  // namespace tessary::engine
