#include "signing/secret_text.hpp"

#include <openssl/crypto.h>

namespace tessary::signing {

SecretText& SecretText::operator=(SecretText&& other) noexcept {
  if (this != &other) {
    wipe();
    text_ = std::move(other.text_);
  }
  return *this;
}

// The whole capacity, not just the size: a shorter text may have been
// written over a longer one.
void SecretText::wipe() noexcept { OPENSSL_cleanse(text_.data(), text_.capacity()); }

}  // namespace tessary::signing
