// Any text either reads as a key, whose PEM reads back as the same key, or
// is refused with a reason; nothing crashes and nothing is left allocated.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <openssl/err.h>

#include "signing/ed25519.hpp"

namespace sg = tessary::signing;

namespace {

void check_refusal(const sg::SigningError& error) {
  if (error.to_string().empty()) std::abort();
  if (error.kind == sg::SigningError::Kind::InvalidKey && error.reason.empty()) std::abort();
  if (ERR_peek_error() != 0) std::abort();  // a failure must not leave its errors queued
}

void check_public(const sg::PublicKey& key) {
  auto pem = sg::public_key_to_pem(key);
  if (!pem) std::abort();
  auto again = sg::public_key_from_pem(*pem);
  if (!again || again->raw() != key.raw()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (auto key = sg::private_key_from_pem(text)) {
    auto pem = sg::private_key_to_pem(*key);
    if (!pem) std::abort();
    auto again = sg::private_key_from_pem(pem->text());
    if (!again) std::abort();
    auto pub = sg::public_key(*key);
    auto pub_again = sg::public_key(*again);
    if (!pub || !pub_again || pub->raw() != pub_again->raw()) std::abort();
    check_public(*pub);
  } else {
    check_refusal(key.error());
  }

  if (auto key = sg::public_key_from_pem(text)) {
    check_public(*key);
  } else {
    check_refusal(key.error());
  }
  return 0;
}
