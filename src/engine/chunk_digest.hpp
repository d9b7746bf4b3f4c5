#pragma once
// SHA-256 of one chunk whose bytes may arrive in several pieces. A chunk that
// lies within one piece is digested in a single call over the caller's
// memory; a chunk that spans pieces is fed to the context as it passes.
#include <cstdint>
#include <span>

#include "formats/sha256.hpp"
#include "formats/sha256.hpp"

namespace tessary::engine {

class ChunkDigest {
 public:
  // The bytes must stay valid until finish() or release_pending().
  void add(std::span<const std::uint8_t> bytes) noexcept;
  // Feeds bytes still held by reference to the context: call before the
  // memory they live in goes away.
  void release_pending() noexcept;
  // The digest of everything added; starts a new chunk.
  formats::Digest finish() noexcept;

 private:
  formats::Sha256 sha_;
  std::span<const std::uint8_t> pending_{};
  bool streaming_ = false;  // the context holds earlier bytes of this chunk
};

}  // namespace tessary::engine
