#pragma once
// Why a key could not be read, made or used.
#include <cstdint>
#include <string>

namespace tessary::signing {

struct SigningError {
  enum class Kind : std::uint8_t {
    InvalidKey,    // text or bytes that hold no key OpenSSL can read
    WrongKeyType,  // a well-formed key of another algorithm (RSA, EC, Ed448, ...)
    Crypto,        // OpenSSL failed at something that should not fail (allocation, generation)
  };
  Kind kind = Kind::Crypto;
  std::string reason;  // OpenSSL's reason for InvalidKey and Crypto; empty for WrongKeyType

  // "invalid key: <reason>", "not an Ed25519 key", "crypto failure: <reason>".
  std::string to_string() const;
  friend bool operator==(const SigningError&, const SigningError&) = default;
};

// The error of the OpenSSL call that just failed, with the reason of the
// first entry OpenSSL queued for it. Empties the thread's error queue, so a
// later, unrelated failure never reports this one's reason.
SigningError take_openssl_error(SigningError::Kind kind);

// Empties the thread's OpenSSL error queue (after a failure that is not an
// error of ours, such as a signature that does not verify).
void clear_openssl_errors() noexcept;

}  // namespace tessary::signing
