#pragma once
// One chunk of a byte stream, as the manifest lists it.
#include <cstdint>
#include <string>

#include "formats/sha256.hpp"

namespace tessary::engine {

struct Chunk {
  std::string id;               // "sha256:" + hex of digest
  std::uint64_t offset = 0;     // first byte's position in the stream
  std::uint64_t length = 0;     // never 0
  formats::Digest digest{};     // SHA-256 of the chunk's bytes

  friend bool operator==(const Chunk&, const Chunk&) = default;
};

}  // namespace tessary::engine
