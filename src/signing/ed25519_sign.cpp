// Signing and verifying. PureEdDSA hashes the message itself, in one pass
// that cannot be fed piecewise, so both go through the one-shot
// EVP_DigestSign/EVP_DigestVerify with no digest named.
#include <openssl/evp.h>

#include <memory>

#include "signing/ed25519.hpp"

namespace tessary::signing {

namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// OpenSSL may refuse a null pointer even for an empty message.
const unsigned char* bytes_or_empty(std::span<const std::uint8_t> bytes) noexcept {
  static constexpr unsigned char kNothing = 0;
  return bytes.empty() ? &kNothing : bytes.data();
}

}  // namespace

std::expected<Signature, SigningError> sign(const PrivateKey& key, std::span<const std::uint8_t> message) {
  MdCtx ctx(EVP_MD_CTX_new());
  Signature signature{};
  std::size_t length = signature.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.handle().get()) != 1 ||
      EVP_DigestSign(ctx.get(), signature.data(), &length, bytes_or_empty(message), message.size()) != 1 ||
      length != signature.size()) {
    return std::unexpected(take_openssl_error(SigningError::Kind::Crypto));
  }
  return signature;
}

std::expected<bool, SigningError> verify(const PublicKey& key, std::span<const std::uint8_t> message,
                                         std::span<const std::uint8_t> signature) {
  if (signature.size() != kSignatureSize) return false;
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.handle().get()) != 1) {
    return std::unexpected(take_openssl_error(SigningError::Kind::Crypto));
  }
  // 0 is a signature that does not verify, a negative value one OpenSSL
  // found malformed (an S not below the group order): both are just "no".
  const int verdict = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), bytes_or_empty(message), message.size());
  if (verdict != 1) clear_openssl_errors();
  return verdict == 1;
}

}  // namespace tessary::signing
