#pragma once
// SHA-256 over OpenSSL's libcrypto, and the "sha256:<64 hex>" hash string.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tessary::formats {

using Digest = std::array<std::uint8_t, 32>;

// One-shot digest of exactly these bytes.
Digest sha256(std::span<const std::uint8_t> bytes) noexcept;
Digest sha256(std::string_view bytes) noexcept;

// Incremental digest; the result equals the one-shot digest of everything fed.
// One object serves any number of digests in turn (reset, updates, finish),
// so streams that hash millions of small pieces set OpenSSL up only once.
class Sha256 {
 public:
  Sha256();  // throws std::bad_alloc when OpenSSL cannot allocate a context
  ~Sha256();
  // A copy continues from the same point on its own: streaming hashers fork
  // their state (Python's copy()) without rehashing what came before.
  Sha256(const Sha256& other);  // throws std::bad_alloc like the constructor
  Sha256& operator=(const Sha256&) = delete;
  Sha256(Sha256&& other) noexcept : ctx_(other.ctx_) { other.ctx_ = nullptr; }
  Sha256& operator=(Sha256&&) = delete;

  void reset() noexcept;  // starts a new digest
  void update(std::span<const std::uint8_t> bytes) noexcept;
  void update(std::string_view bytes) noexcept;
  Digest finish() noexcept;  // call reset() before the next update
  Digest digest(std::span<const std::uint8_t> bytes) noexcept;  // reset, update, finish

 private:
  void* ctx_;  // EVP_MD_CTX*, kept opaque so callers need no OpenSSL headers
};

// 64 lowercase hexadecimal digits, most significant nibble first.
std::string to_hex(const Digest& digest);

// "sha256:" + to_hex(digest): 71 characters.
std::string hash_string(const Digest& digest);

// The hash string of SHA-256 over exactly the given bytes.
std::string sha256_prefixed(std::string_view bytes);
std::string sha256_prefixed(std::span<const std::uint8_t> bytes);

}  // namespace tessary::formats
