#pragma once
// Ed25519 keys and signatures over OpenSSL's EVP interface (PureEdDSA, RFC 8032),
// with keys read and written as PEM: PKCS#8 for private keys, SubjectPublicKeyInfo
// for public ones (RFC 8410), the forms `openssl genpkey` and pyca/cryptography use.
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "signing/pkey_handle.hpp"
#include "signing/secret_text.hpp"
#include "signing/signing_error.hpp"

namespace tessary::signing {

inline constexpr std::size_t kPrivateKeySize = 32;  // the RFC 8032 seed
inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSignatureSize = 64;

using RawPublicKey = std::array<std::uint8_t, kPublicKeySize>;
using Signature = std::array<std::uint8_t, kSignatureSize>;

// An Ed25519 private key. Made only by the functions below, so it always
// holds a key, and always an Ed25519 one. Copies share the OpenSSL key.
class PrivateKey {
 public:
  const PkeyHandle& handle() const noexcept { return key_; }

 private:
  explicit PrivateKey(PkeyHandle key) noexcept : key_(std::move(key)) {}
  friend std::expected<PrivateKey, SigningError> adopt_private(PkeyHandle key);
  PkeyHandle key_;
};

// An Ed25519 public key, with its 32 bytes kept beside the OpenSSL key:
// key ids and raw exports need them and can then never fail.
class PublicKey {
 public:
  const PkeyHandle& handle() const noexcept { return key_; }
  const RawPublicKey& raw() const noexcept { return raw_; }

 private:
  PublicKey(PkeyHandle key, const RawPublicKey& raw) noexcept : key_(std::move(key)), raw_(raw) {}
  friend std::expected<PublicKey, SigningError> adopt_public(PkeyHandle key);
  PkeyHandle key_;
  RawPublicKey raw_;
};

// A new key from OpenSSL's generator.
std::expected<PrivateKey, SigningError> generate();

// A PEM private key ("BEGIN PRIVATE KEY"). Encrypted keys are refused as
// invalid: no passphrase is ever asked for. Keys of other algorithms are
// WrongKeyType.
std::expected<PrivateKey, SigningError> private_key_from_pem(std::string_view pem);
// The key whose 32-byte RFC 8032 seed this is.
std::expected<PrivateKey, SigningError> private_key_from_raw(std::span<const std::uint8_t> seed);
// Unencrypted PKCS#8 PEM.
std::expected<SecretText, SigningError> private_key_to_pem(const PrivateKey& key);

// The public half of a private key.
std::expected<PublicKey, SigningError> public_key(const PrivateKey& key);
// A PEM public key ("BEGIN PUBLIC KEY").
std::expected<PublicKey, SigningError> public_key_from_pem(std::string_view pem);
// Exactly 32 bytes, else InvalidKey.
std::expected<PublicKey, SigningError> public_key_from_raw(std::span<const std::uint8_t> raw);
std::expected<std::string, SigningError> public_key_to_pem(const PublicKey& key);

inline const RawPublicKey& raw(const PublicKey& key) noexcept { return key.raw(); }

// "ed25519:" + unpadded base64url of SHA-256 over the 32 public-key bytes:
// 51 characters, the same for every encoding the key travels in.
std::string key_id(const PublicKey& key);

std::expected<Signature, SigningError> sign(const PrivateKey& key, std::span<const std::uint8_t> message);

// False for any signature that does not verify, including one of the wrong
// length; an error only when OpenSSL could not run the check at all.
std::expected<bool, SigningError> verify(const PublicKey& key, std::span<const std::uint8_t> message,
                                         std::span<const std::uint8_t> signature);

}  // namespace tessary::signing
