#pragma once
// Cuts a byte stream, fed in pieces of any size, into chunks and digests
// each one. The cuts and digests do not depend on how the stream was split
// into pieces, and no more than 47 bytes are ever copied or held: chunk
// digests are computed over the caller's pieces as they pass.
#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "engine/cas_error.hpp"
#include "engine/chunk.hpp"
#include "engine/chunk_boundary.hpp"
#include "engine/chunk_digest.hpp"
#include "engine/chunk_scheme.hpp"

namespace tessary::engine {

// Receives the chunks in stream order.
class ChunkSink {
 public:
  virtual void on_chunk(std::uint64_t offset, std::uint64_t length, const formats::Digest& digest) = 0;

 protected:
  ~ChunkSink() = default;
};

// Fails for a size of 0, before looking at any data.
std::expected<void, CasError> check_chunk_scheme(const ChunkScheme& scheme);

class Chunker {
 public:
  explicit Chunker(ChunkScheme scheme) noexcept;  // the scheme must pass check_chunk_scheme

  void update(std::span<const std::uint8_t> piece, ChunkSink& sink);
  // Emits the last chunk; the chunker is spent afterwards.
  void finish(ChunkSink& sink);

 private:
  // Returns false when a tentative cut waits for more input; the rest of
  // `piece` and every later byte have then been set aside.
  bool feed(std::span<const std::uint8_t> piece, std::size_t bytes_after, ChunkSink& sink);
  void end_chunk(ChunkSink& sink);

  ChunkBoundaryFinder finder_;
  ChunkDigest digest_;
  std::uint64_t chunk_offset_ = 0;
  std::uint64_t chunk_length_ = 0;
  // After a tentative cut: the bytes that followed it, until there are
  // enough of them for the cut to stand.
  bool awaiting_lookahead_ = false;
  std::array<std::uint8_t, ChunkBoundaryFinder::kLookahead> held_{};
  std::size_t held_len_ = 0;
};

// All chunks of `data`, with their ids, offsets, lengths and digests.
std::expected<std::vector<Chunk>, CasError> chunk_bytes(std::span<const std::uint8_t> data, ChunkScheme scheme);

}  // namespace tessary::engine
