#pragma once
// The data shape hash of a byte stream: chunks by the scheme, a Merkle root
// over their digests, and the prefixed SHA-256 of the data shape document.
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/chunk_scheme.hpp"
#include "engine/chunker.hpp"
#include "engine/data_shape_error.hpp"
#include "engine/merkle_root.hpp"

namespace tessary::engine {

// One chunk as the data shape saw it: where it lies and its SHA-256.
struct ChunkExtent {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  formats::Digest digest{};

  friend bool operator==(const ChunkExtent&, const ChunkExtent&) = default;
};

// Hashes a stream fed in pieces; the result is the same for every split of
// the same bytes. Memory stays bounded whatever the stream's length, unless
// the caller asks to keep the chunk list (one small record per chunk).
//
// A hasher can be copied between updates: the copy carries on from the same
// point independently, so a stream's common prefix is hashed once.
class DataShapeHasher {
 public:
  explicit DataShapeHasher(std::optional<ChunkScheme> scheme = std::nullopt, bool keep_chunks = false) noexcept;

  void update(std::span<const std::uint8_t> piece);
  // The same, polling for an interrupt between strides of kInterruptStride
  // bytes. An interrupted update has taken only a prefix of `piece`, so the
  // hasher no longer describes any stream the caller gave: do not finish it.
  std::expected<void, DataShapeError> update_interruptible(std::span<const std::uint8_t> piece);
  // The data shape hash, or the chunking error of a zero size (reported only
  // here, with the stream's length in its context). Call once.
  std::expected<std::string, DataShapeError> finish();

  std::uint64_t total_size() const noexcept { return total_size_; }
  // The chunks emitted so far (all of them after finish), when kept.
  const std::vector<ChunkExtent>& chunks() const noexcept { return sink_.chunks; }
  std::vector<ChunkExtent> take_chunks() noexcept { return std::move(sink_.chunks); }

 private:
  class RootSink final : public ChunkSink {
   public:
    MerkleAccumulator tree;
    bool keep = false;
    std::vector<ChunkExtent> chunks;
    void on_chunk(std::uint64_t offset, std::uint64_t length, const formats::Digest& digest) override {
      tree.add(digest);
      if (keep) chunks.push_back({offset, length, digest});
    }
  };

  ChunkScheme scheme_;
  std::uint64_t total_size_ = 0;
  std::optional<Chunker> chunker_;  // absent for a scheme that cannot chunk
  RootSink sink_;
};

// A finished data shape: the hash, the stream's length and, when asked
// for, its chunks in stream order.
struct DataShape {
  std::string hash;
  std::uint64_t total_size = 0;
  std::vector<ChunkExtent> chunks;
};

std::expected<DataShape, DataShapeError> compute_data_shape_from_bytes(std::span<const std::uint8_t> data,
                                                                       std::optional<ChunkScheme> scheme, bool keep_chunks);

std::expected<std::string, DataShapeError> compute_data_shape_hash_from_bytes(std::span<const std::uint8_t> data,
                                                                              std::optional<ChunkScheme> scheme);

}  // namespace tessary::engine
