#include "engine/chunk_digest.hpp"

namespace tessary::engine {

void ChunkDigest::add(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.empty()) return;
  if (pending_.empty() && !streaming_) {
    pending_ = bytes;
    return;
  }
  release_pending();
  sha_.update(bytes);
}

void ChunkDigest::release_pending() noexcept {
  if (pending_.empty()) return;
  if (!streaming_) {
    sha_.reset();
    streaming_ = true;
  }
  sha_.update(pending_);
  pending_ = {};
}

formats::Digest ChunkDigest::finish() noexcept {
  formats::Digest digest;
  if (streaming_) {
    sha_.update(pending_);
    digest = sha_.finish();
    streaming_ = false;
  } else {
    digest = sha_.digest(pending_);
  }
  pending_ = {};
  return digest;
}

}  // namespace tessary::engine
