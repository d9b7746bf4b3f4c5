#pragma once
// SHA-256 through one OpenSSL context that is set up once and reused for
// every digest of a stream. OpenSSL 3's one-shot SHA256() looks the
// algorithm up by name on every call, which costs several times more than
// hashing a 33-byte Merkle leaf; chunked streams make millions of such calls.
#include <cstdint>
#include <span>

#include "formats/sha256.hpp"

namespace tessary::engine {

class CasSha256 {
 public:
  CasSha256() noexcept;
  ~CasSha256();
  CasSha256(const CasSha256&) = delete;
  CasSha256& operator=(const CasSha256&) = delete;
  CasSha256(CasSha256&& other) noexcept : ctx_(other.ctx_) { other.ctx_ = nullptr; }
  CasSha256& operator=(CasSha256&&) = delete;

  formats::Digest digest(std::span<const std::uint8_t> bytes) noexcept;

  // Incremental use: begin, any number of updates, finish.
  void begin() noexcept;
  void update(std::span<const std::uint8_t> bytes) noexcept;
  formats::Digest finish() noexcept;

 private:
  void* ctx_;  // EVP_MD_CTX*
};

}  // namespace tessary::engine
