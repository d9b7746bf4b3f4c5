#include "formats/sha256.hpp"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <new>

namespace tessary::formats {

namespace {

// OpenSSL 3 looks the algorithm up by name on every one-shot call; fetching it
// once and reusing a per-thread context saves that work on every small hash.
const EVP_MD* sha256_md() noexcept {
  static const EVP_MD* md = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
  }();
  return md;
}

struct ThreadContext {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~ThreadContext() { EVP_MD_CTX_free(ctx); }
};

}  // namespace

Digest sha256(std::span<const std::uint8_t> bytes) noexcept {
  Digest out;
  thread_local ThreadContext local;
  unsigned int len = 0;
  if (local.ctx == nullptr || EVP_DigestInit_ex2(local.ctx, sha256_md(), nullptr) != 1 ||
      EVP_DigestUpdate(local.ctx, bytes.data(), bytes.size()) != 1 || EVP_DigestFinal_ex(local.ctx, out.data(), &len) != 1) {
    SHA256(bytes.data(), bytes.size(), out.data());  // the slower path cannot fail for lack of a context
  }
  return out;
}

Digest sha256(std::string_view bytes) noexcept {
  return sha256(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// EVP keeps the SHA-NI/AVX2 code paths of libcrypto. A context that cannot be
// made is an allocation failure inside OpenSSL, reported like any other
// (std::bad_alloc, which the module turns into MemoryError).
Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr || EVP_DigestInit_ex2(static_cast<EVP_MD_CTX*>(ctx_), sha256_md(), nullptr) != 1) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
    throw std::bad_alloc();
  }
}

Sha256::Sha256(const Sha256& other) : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr || EVP_MD_CTX_copy_ex(static_cast<EVP_MD_CTX*>(ctx_), static_cast<const EVP_MD_CTX*>(other.ctx_)) != 1) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
    throw std::bad_alloc();
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

void Sha256::reset() noexcept { EVP_DigestInit_ex2(static_cast<EVP_MD_CTX*>(ctx_), sha256_md(), nullptr); }

Digest Sha256::digest(std::span<const std::uint8_t> bytes) noexcept {
  reset();
  update(bytes);
  return finish();
}

void Sha256::update(std::span<const std::uint8_t> bytes) noexcept {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), bytes.data(), bytes.size());
}

void Sha256::update(std::string_view bytes) noexcept {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), bytes.data(), bytes.size());
}

Digest Sha256::finish() noexcept {
  Digest out;
  unsigned int len = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), out.data(), &len);
  return out;
}

std::string to_hex(const Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(64, '\0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0f];
  }
  return out;
}

std::string hash_string(const Digest& digest) {
  std::string out;
  out.reserve(71);
  out.append("sha256:");
  out.append(to_hex(digest));
  return out;
}

std::string sha256_prefixed(std::string_view bytes) { return hash_string(sha256(bytes)); }

std::string sha256_prefixed(std::span<const std::uint8_t> bytes) { return hash_string(sha256(bytes)); }

}  // namespace tessary::formats
