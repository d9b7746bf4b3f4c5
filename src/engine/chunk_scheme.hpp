#pragma once
// How a byte stream is cut into chunks: content-defined around an average
// size, or fixed-size. A size of 0 is representable on purpose: it is refused
// by the chunker, with the data size in the message, not at construction.
#include <cstdint>
#include <string>

namespace tessary::engine {

struct ChunkScheme {
  enum class Kind { Cdc, Fixed };

  Kind kind = Kind::Cdc;
  std::uint64_t size = 65536;  // avg_size for Cdc, size for Fixed

  static constexpr ChunkScheme cdc(std::uint64_t avg_size) noexcept { return {Kind::Cdc, avg_size}; }
  static constexpr ChunkScheme fixed(std::uint64_t size) noexcept { return {Kind::Fixed, size}; }

  bool is_cdc() const noexcept { return kind == Kind::Cdc; }

  // "CDC { avg_size: N }" or "Fixed { size: N }".
  std::string to_string() const;

  friend bool operator==(const ChunkScheme&, const ChunkScheme&) = default;
};

// The scheme used when the caller gives none.
inline constexpr ChunkScheme kDefaultChunkScheme = ChunkScheme::cdc(65536);

}  // namespace tessary::engine
