#pragma once
// Where the current chunk ends, found over whatever piece of the stream the
// caller has at hand. The finder keeps only what a cut depends on: the
// number of bytes of the current chunk seen so far and its last 47 bytes
// (so a window may straddle two pieces), so one finder serves a string in
// memory and a file read through a small buffer with identical cuts.
//
// Content-defined cuts with average A: no window starts in the first
// floor(A/2) bytes of a chunk; the chunk ends after the first window whose
// hash is a multiple of A, or at 2A bytes. A cut at 2A only stands when at
// least 47 bytes follow it: otherwise the chunk runs to the end of the input.
// Deciding that needs the input length, so the finder reports such a cut as
// tentative and leaves the decision to the caller.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/chunk_scheme.hpp"
#include "engine/chunk_window_scan.hpp"

namespace tessary::engine {

class ChunkBoundaryFinder {
 public:
  enum class CutKind {
    None,       // the whole piece belongs to the current chunk
    Final,      // the chunk ends after `consumed` bytes
    Tentative,  // the chunk reached its maximum; see above
  };
  struct Cut {
    std::size_t consumed;
    CutKind kind;
  };

  // Bytes that must follow a cut at the maximum size for it to stand.
  static constexpr std::size_t kLookahead = kWindowSize - 1;

  explicit ChunkBoundaryFinder(ChunkScheme scheme) noexcept;  // scheme.size > 0

  // Scans the piece as the continuation of the current chunk.
  Cut next(std::span<const std::uint8_t> piece) noexcept;
  // Starts a new chunk after a cut.
  void restart() noexcept {
    seen_ = 0;
    tail_len_ = 0;
  }

 private:
  bool window_hit(std::uint64_t first_end, std::uint64_t last_end, std::span<const std::uint8_t> piece,
                  std::uint64_t& hit_end) const noexcept;
  void remember_tail(std::span<const std::uint8_t> piece) noexcept;

  bool content_defined_;
  std::uint64_t first_window_end_;  // floor(A/2) + 48; unreachable for fixed-size chunks
  std::uint64_t max_size_;          // 2A (saturated) or the fixed size
  WindowScanner scanner_;
  std::uint64_t seen_ = 0;          // bytes of the current chunk so far
  std::array<std::uint8_t, kWindowSize - 1> tail_{};
  std::size_t tail_len_ = 0;        // min(seen_, 47)
};

}  // namespace tessary::engine
