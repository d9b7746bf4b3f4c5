#include "engine/chunker.hpp"

#include <cstring>

namespace tessary::engine {

std::expected<void, CasError> check_chunk_scheme(const ChunkScheme& scheme) {
  if (scheme.size != 0) return {};
  return std::unexpected(CasError{CasError::Kind::ChunkingFailed,
                                  scheme.is_cdc() ? "Average chunk size must be > 0" : "Chunk size must be > 0"});
}

Chunker::Chunker(ChunkScheme scheme) noexcept : finder_(scheme) {}

void Chunker::update(std::span<const std::uint8_t> piece, ChunkSink& sink) {
  if (piece.empty()) return;
  constexpr std::size_t kLookahead = ChunkBoundaryFinder::kLookahead;
  std::array<std::uint8_t, kLookahead> carried;
  std::size_t carried_len = 0;
  if (awaiting_lookahead_) {
    if (held_len_ + piece.size() < kLookahead) {
      std::memcpy(held_.data() + held_len_, piece.data(), piece.size());
      held_len_ += piece.size();
      return;
    }
    // Enough input follows the cut at the maximum size: it stands, and the
    // held bytes open the next chunk.
    awaiting_lookahead_ = false;
    end_chunk(sink);
    carried = held_;
    carried_len = held_len_;
    held_len_ = 0;
  }
  if (carried_len > 0 && !feed(std::span(carried.data(), carried_len), piece.size(), sink)) {
    digest_.release_pending();  // it may point into `carried`
    std::memcpy(held_.data() + held_len_, piece.data(), piece.size());
    held_len_ += piece.size();
    return;
  }
  feed(piece, 0, sink);
  digest_.release_pending();
}

bool Chunker::feed(std::span<const std::uint8_t> piece, std::size_t bytes_after, ChunkSink& sink) {
  while (!piece.empty()) {
    const ChunkBoundaryFinder::Cut cut = finder_.next(piece);
    digest_.add(piece.first(cut.consumed));
    chunk_length_ += cut.consumed;
    piece = piece.subspan(cut.consumed);
    if (cut.kind == ChunkBoundaryFinder::CutKind::Final) {
      end_chunk(sink);
    } else if (cut.kind == ChunkBoundaryFinder::CutKind::Tentative) {
      if (piece.size() + bytes_after >= ChunkBoundaryFinder::kLookahead) {
        end_chunk(sink);
      } else {
        // Fewer than 47 bytes are known to follow: hold them, and let the
        // caller add the rest (the total stays below 47).
        awaiting_lookahead_ = true;
        std::memcpy(held_.data(), piece.data(), piece.size());
        held_len_ = piece.size();
        return false;
      }
    }
  }
  return true;
}

void Chunker::finish(ChunkSink& sink) {
  if (awaiting_lookahead_) {
    // The input ended within 47 bytes of the maximum: the chunk runs to the end.
    awaiting_lookahead_ = false;
    digest_.add(std::span(held_.data(), held_len_));
    chunk_length_ += held_len_;
    held_len_ = 0;
  }
  if (chunk_length_ > 0) end_chunk(sink);
}

void Chunker::end_chunk(ChunkSink& sink) {
  const formats::Digest digest = digest_.finish();
  sink.on_chunk(chunk_offset_, chunk_length_, digest);
  chunk_offset_ += chunk_length_;
  chunk_length_ = 0;
}

namespace {

class ChunkList final : public ChunkSink {
 public:
  std::vector<Chunk> chunks;
  void on_chunk(std::uint64_t offset, std::uint64_t length, const formats::Digest& digest) override {
    chunks.push_back(Chunk{formats::hash_string(digest), offset, length, digest});
  }
};

}  // namespace

std::expected<std::vector<Chunk>, CasError> chunk_bytes(std::span<const std::uint8_t> data, ChunkScheme scheme) {
  if (auto ok = check_chunk_scheme(scheme); !ok) return std::unexpected(ok.error());
  ChunkList list;
  Chunker chunker(scheme);
  chunker.update(data, list);
  chunker.finish(list);
  return std::move(list.chunks);
}

}  // namespace tessary::engine
