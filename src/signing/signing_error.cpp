#include "signing/signing_error.hpp"

#include <openssl/err.h>

namespace tessary::signing {

std::string SigningError::to_string() const {
  switch (kind) {
    case Kind::InvalidKey: return "invalid key: " + reason;
    case Kind::WrongKeyType: return "not an Ed25519 key";
    case Kind::Crypto: break;
  }
  return "crypto failure: " + reason;
}

SigningError take_openssl_error(SigningError::Kind kind) {
  // The first entry names the cause; later ones are the callers that passed
  // it up ("unsupported" from the decoder framework, for one).
  const unsigned long code = ERR_peek_error();
  const char* text = code != 0 ? ERR_reason_error_string(code) : nullptr;
  SigningError error{kind, text != nullptr ? text : "unknown error"};
  ERR_clear_error();
  return error;
}

void clear_openssl_errors() noexcept { ERR_clear_error(); }

}  // namespace tessary::signing
