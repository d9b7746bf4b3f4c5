#include "signing/pkey_handle.hpp"

#include <openssl/evp.h>

namespace tessary::signing {

PkeyHandle::PkeyHandle(const PkeyHandle& other) noexcept : key_(other.key_) {
  // Up-referencing only touches an atomic counter; it cannot fail on a live key.
  if (key_ != nullptr) EVP_PKEY_up_ref(key_);
}

PkeyHandle& PkeyHandle::operator=(const PkeyHandle& other) noexcept {
  if (this != &other) {
    if (other.key_ != nullptr) EVP_PKEY_up_ref(other.key_);
    EVP_PKEY_free(key_);
    key_ = other.key_;
  }
  return *this;
}

PkeyHandle& PkeyHandle::operator=(PkeyHandle&& other) noexcept {
  if (this != &other) {
    EVP_PKEY_free(key_);
    key_ = std::exchange(other.key_, nullptr);
  }
  return *this;
}

PkeyHandle::~PkeyHandle() { EVP_PKEY_free(key_); }

}  // namespace tessary::signing
