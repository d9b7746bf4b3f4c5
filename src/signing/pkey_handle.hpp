#pragma once
// One reference to an OpenSSL EVP_PKEY. OpenSSL counts the references of a
// key, so a copy is one more reference to the same key, not a new key: keys
// are never changed once made, and sharing them is what OpenSSL intends.
#include <utility>

struct evp_pkey_st;  // OpenSSL's EVP_PKEY, kept out of this header

namespace tessary::signing {

class PkeyHandle {
 public:
  PkeyHandle() noexcept = default;
  // Takes over the reference the caller holds (null stays empty).
  static PkeyHandle adopt(evp_pkey_st* key) noexcept { return PkeyHandle(key); }

  PkeyHandle(const PkeyHandle& other) noexcept;
  PkeyHandle& operator=(const PkeyHandle& other) noexcept;
  PkeyHandle(PkeyHandle&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}
  PkeyHandle& operator=(PkeyHandle&& other) noexcept;
  ~PkeyHandle();

  evp_pkey_st* get() const noexcept { return key_; }
  explicit operator bool() const noexcept { return key_ != nullptr; }

 private:
  explicit PkeyHandle(evp_pkey_st* key) noexcept : key_(key) {}
  evp_pkey_st* key_ = nullptr;
};

}  // namespace tessary::signing
