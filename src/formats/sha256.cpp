#include "formats/sha256.hpp"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdlib>

namespace tessary::formats {

Digest sha256(std::span<const std::uint8_t> bytes) noexcept {
  Digest out;
  SHA256(bytes.data(), bytes.size(), out.data());
  return out;
}

Digest sha256(std::string_view bytes) noexcept {
  return sha256(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// EVP keeps the SHA-NI/AVX2 code paths of libcrypto; a context failure is an
// allocation failure inside OpenSSL, which we treat like any other: fatal.
Sha256::Sha256() noexcept : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), EVP_sha256(), nullptr) != 1) {
    std::abort();
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

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
