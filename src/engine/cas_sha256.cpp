#include "engine/cas_sha256.hpp"

#include <openssl/evp.h>

#include <cstdlib>

namespace tessary::engine {

namespace {

// Fetched once per process; EVP_MD objects may be shared between threads.
const EVP_MD* sha256_md() noexcept {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
  static const EVP_MD* md = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
  }();
  return md;
#else
  return EVP_sha256();
#endif
}

EVP_MD_CTX* as_ctx(void* p) noexcept { return static_cast<EVP_MD_CTX*>(p); }

}  // namespace

// A context that cannot be made or started is an allocation failure inside
// OpenSSL: fatal, as for any other allocation.
CasSha256::CasSha256() noexcept : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr) std::abort();
}

CasSha256::~CasSha256() { EVP_MD_CTX_free(as_ctx(ctx_)); }

void CasSha256::begin() noexcept {
  if (EVP_DigestInit_ex(as_ctx(ctx_), sha256_md(), nullptr) != 1) std::abort();
}

void CasSha256::update(std::span<const std::uint8_t> bytes) noexcept {
  EVP_DigestUpdate(as_ctx(ctx_), bytes.data(), bytes.size());
}

formats::Digest CasSha256::finish() noexcept {
  formats::Digest out;
  unsigned int len = 0;
  EVP_DigestFinal_ex(as_ctx(ctx_), out.data(), &len);
  return out;
}

formats::Digest CasSha256::digest(std::span<const std::uint8_t> bytes) noexcept {
  begin();
  update(bytes);
  return finish();
}

}  // namespace tessary::engine
