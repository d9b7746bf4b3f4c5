// Making, reading and writing Ed25519 keys.
#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <climits>
#include <memory>

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
  auto bio = reader_of(pem);
  if (!bio) return std::unexpected(bio.error());
  return adopt_public(PkeyHandle::adopt(PEM_read_bio_PUBKEY(bio->get(), nullptr, refuse_passphrase, nullptr)));
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
