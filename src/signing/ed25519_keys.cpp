// Making, reading and writing Ed25519 keys.
#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "signing/ed25519.hpp"

namespace tessary::signing {

namespace {

struct BioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

// A read-only BIO over the caller's text; OpenSSL copies nothing.
std::expected<Bio, SigningError> reader_of(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) {
    return std::unexpected(SigningError{SigningError::Kind::InvalidKey, "key text too long"});
  }
  // A null pointer is refused even for no bytes at all.
  Bio bio(BIO_new_mem_buf(text.empty() ? "" : text.data(), static_cast<int>(text.size())));
  if (!bio) return std::unexpected(take_openssl_error(SigningError::Kind::Crypto));
  return bio;
}

// Without a callback OpenSSL would prompt on the terminal for the passphrase
// of an encrypted key; a library must never do that, so every request fails.
int refuse_passphrase(char*, int, int, void*) { return -1; }

bool is_ed25519(const PkeyHandle& key) noexcept { return EVP_PKEY_is_a(key.get(), "ED25519") == 1; }

// The canonical encodings of the eight points of order dividing 8: the
// identity (y = 1), the point of order 2 (y = p - 1), the two of order 4
// (y = 0) and the four of order 8. With such a key R = identity, S = 0 is a
// valid signature of every message, and OpenSSL loads these keys unasked,
// so they are refused here. Compared with the sign bit (bit 255) cleared, so
// the variants with the other sign bit are refused with them.
constexpr std::uint8_t kSmallOrderPoints[8][kPublicKeySize] = {
    {0x01},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0x00},
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0xfa},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x85},
};

constexpr std::uint8_t kSignBit = 0x80;

bool same_y(const RawPublicKey& raw, const std::uint8_t (&point)[kPublicKeySize]) noexcept {
  for (std::size_t i = 0; i + 1 < kPublicKeySize; ++i) {
    if (raw[i] != point[i]) return false;
  }
  return (raw[kPublicKeySize - 1] & ~kSignBit) == (point[kPublicKeySize - 1] & ~kSignBit);
}

// y is the key read little-endian with the sign bit cleared; an encoding is
// canonical only when y < p = 2^255 - 19, i.e. unless bytes 1..30 are all
// 0xff, byte 31 is 0x7f without its sign bit and byte 0 is at least 0xed.
bool y_at_least_p(const RawPublicKey& raw) noexcept {
  if ((raw[kPublicKeySize - 1] & ~kSignBit) != 0x7f) return false;
  for (std::size_t i = 1; i + 1 < kPublicKeySize; ++i) {
    if (raw[i] != 0xff) return false;
  }
  return raw[0] >= 0xed;
}

// Why these 32 bytes must not be a verifying key, or an empty string.
std::string_view weak_key_reason(const RawPublicKey& raw) noexcept {
  if (y_at_least_p(raw)) return "a non-canonical Ed25519 public key (y >= 2^255 - 19)";
  for (const auto& point : kSmallOrderPoints) {
    if (same_y(raw, point)) return "a small-order Ed25519 public key, for which signatures can be forged";
  }
  return {};
}

// A PEM public key file's text: optional whitespace, one BEGIN PUBLIC KEY
// line, and after its END line nothing but whitespace. OpenSSL skips text
// and other blocks before the key and ignores everything after it, so a
// file "holding" a second key would silently trust only the first.
bool only_whitespace(std::string_view text) noexcept {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

constexpr std::string_view kPublicKeyBegin = "-----BEGIN PUBLIC KEY-----";

void wipe_written(BIO* bio) noexcept {
  BUF_MEM* written = nullptr;
  BIO_get_mem_ptr(bio, &written);
  if (written != nullptr) OPENSSL_cleanse(written->data, written->max);
}

// The text written so far into a memory BIO, taken out as a `Text`
// (std::string or SecretText), the BIO's own buffer wiped behind it.
template <typename Text>
std::expected<Text, SigningError> take_written(BIO* bio) {
  BUF_MEM* written = nullptr;
  BIO_get_mem_ptr(bio, &written);
  if (written == nullptr) return std::unexpected(take_openssl_error(SigningError::Kind::Crypto));
  Text text(std::string_view(written->data, written->length));
  wipe_written(bio);
  return text;
}

}  // namespace

std::expected<PrivateKey, SigningError> adopt_private(PkeyHandle key) {
  if (!key) return std::unexpected(take_openssl_error(SigningError::Kind::InvalidKey));
  if (!is_ed25519(key)) return std::unexpected(SigningError{SigningError::Kind::WrongKeyType, {}});
  return PrivateKey(std::move(key));
}

std::expected<PublicKey, SigningError> adopt_public(PkeyHandle key) {
  if (!key) return std::unexpected(take_openssl_error(SigningError::Kind::InvalidKey));
  if (!is_ed25519(key)) return std::unexpected(SigningError{SigningError::Kind::WrongKeyType, {}});
  RawPublicKey raw{};
  std::size_t length = raw.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), raw.data(), &length) != 1 || length != raw.size()) {
    return std::unexpected(take_openssl_error(SigningError::Kind::Crypto));
  }
  if (const std::string_view weak = weak_key_reason(raw); !weak.empty()) {
    return std::unexpected(SigningError{SigningError::Kind::InvalidKey, std::string(weak)});
  }
  return PublicKey(std::move(key), raw);
}

std::expected<PrivateKey, SigningError> generate() {
  PkeyHandle key = PkeyHandle::adopt(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key) return std::unexpected(take_openssl_error(SigningError::Kind::Crypto));
  return adopt_private(std::move(key));
}

std::expected<PrivateKey, SigningError> private_key_from_pem(std::string_view pem) {
  auto bio = reader_of(pem);
  if (!bio) return std::unexpected(bio.error());
  return adopt_private(PkeyHandle::adopt(PEM_read_bio_PrivateKey(bio->get(), nullptr, refuse_passphrase, nullptr)));
}

std::expected<PrivateKey, SigningError> private_key_from_raw(std::span<const std::uint8_t> seed) {
  if (seed.size() != kPrivateKeySize) {
    return std::unexpected(SigningError{SigningError::Kind::InvalidKey, "an Ed25519 private key is 32 bytes"});
  }
  return adopt_private(
      PkeyHandle::adopt(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size())));
}

std::expected<SecretText, SigningError> private_key_to_pem(const PrivateKey& key) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio) return std::unexpected(take_openssl_error(SigningError::Kind::Crypto));
  if (PEM_write_bio_PKCS8PrivateKey(bio.get(), key.handle().get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    const SigningError error = take_openssl_error(SigningError::Kind::Crypto);
    wipe_written(bio.get());  // a part may have been written before the failure
    return std::unexpected(error);
  }
  return take_written<SecretText>(bio.get());
}

std::expected<PublicKey, SigningError> public_key(const PrivateKey& key) {
  RawPublicKey raw{};
  std::size_t length = raw.size();
  if (EVP_PKEY_get_raw_public_key(key.handle().get(), raw.data(), &length) != 1 || length != raw.size()) {
    return std::unexpected(take_openssl_error(SigningError::Kind::Crypto));
  }
  return public_key_from_raw(raw);
}

std::expected<PublicKey, SigningError> public_key_from_pem(std::string_view pem) {
  const std::size_t start = pem.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos || !pem.substr(start).starts_with(kPublicKeyBegin)) {
    return std::unexpected(SigningError{SigningError::Kind::InvalidKey, "expected a PEM PUBLIC KEY block first"});
  }
  auto bio = reader_of(pem);
  if (!bio) return std::unexpected(bio.error());
  auto key = adopt_public(PkeyHandle::adopt(PEM_read_bio_PUBKEY(bio->get(), nullptr, refuse_passphrase, nullptr)));
  if (!key) return key;
  // A read-only memory BIO reports the bytes it has not handed out yet.
  const std::size_t left = BIO_pending(bio->get());
  if (left > pem.size() || !only_whitespace(pem.substr(pem.size() - left))) {
    return std::unexpected(SigningError{SigningError::Kind::InvalidKey, "more than whitespace after the PUBLIC KEY block"});
  }
  return key;
}

std::expected<PublicKey, SigningError> public_key_from_raw(std::span<const std::uint8_t> raw) {
  if (raw.size() != kPublicKeySize) {
    return std::unexpected(SigningError{SigningError::Kind::InvalidKey, "an Ed25519 public key is 32 bytes"});
  }
  return adopt_public(PkeyHandle::adopt(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size())));
}

std::expected<std::string, SigningError> public_key_to_pem(const PublicKey& key) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio) return std::unexpected(take_openssl_error(SigningError::Kind::Crypto));
  if (PEM_write_bio_PUBKEY(bio.get(), key.handle().get()) != 1) {
    return std::unexpected(take_openssl_error(SigningError::Kind::Crypto));
  }
  return take_written<std::string>(bio.get());
}

}  // namespace tessary::signing
