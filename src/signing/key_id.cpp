#include "formats/base64url.hpp"
#include "formats/sha256.hpp"
#include "signing/ed25519.hpp"

namespace tessary::signing {

// Hashing the raw bytes rather than a PEM or DER text keeps the id the same
// however the key was written down.
std::string key_id(const PublicKey& key) {
  const formats::Digest digest = formats::sha256(std::span<const std::uint8_t>(key.raw()));
  return "ed25519:" + formats::base64url::encode(digest);
}

}  // namespace tessary::signing
