#include "receipts/canonical_hash.hpp"

#include <utility>
#include <variant>

#include "formats/cbor_canon.hpp"
#include "formats/cbor_decoder.hpp"
#include "formats/sha256.hpp"
#include "receipts/body_writer.hpp"

namespace tessary::receipts::canonical {

namespace cbor = formats::cbor;

namespace {

// Typical bodies are 600-900 bytes; one allocation covers them.
constexpr std::size_t kBodyReserve = 1024;

void drop_seal(cbor::Item& body) {
  auto* map = std::get_if<cbor::Map>(&body.v);
  if (!map) return;
  std::erase_if(*map, [](const auto& entry) {
    const auto* key = std::get_if<std::string>(&entry.first.v);
    return key && (*key == "sig" || *key == "hash");
  });
}

CanonicalError body_error(std::string description) { return {CanonicalError::Kind::Body, std::move(description)}; }

}  // namespace

std::string CanonicalError::to_string() const {
  return (kind == Kind::Body ? "serde to Value failed: " : "encode failed: ") + description;
}

std::expected<std::string, CanonicalError> generic_body(const Receipt& receipt) {
  std::string declared;
  declared.reserve(kBodyReserve);
  if (auto written = detail::write_body(receipt, detail::FieldOrder::Declared, declared); !written) {
    return std::unexpected(body_error(written.error().to_string()));
  }
  auto tree = cbor::decode(declared);
  if (!tree) return std::unexpected(body_error(tree.error().to_string()));
  drop_seal(*tree);
  formats::cbor_canon::canon_value(*tree);
  auto encoded = cbor::encode(*tree);
  if (!encoded) return std::unexpected(CanonicalError{CanonicalError::Kind::Encode, encoded.error().to_string()});
  return std::move(*encoded);
}

std::expected<std::string, CanonicalError> canonical_body(const Receipt& receipt) {
  std::string body;
  body.reserve(kBodyReserve);
  auto written = detail::write_body(receipt, detail::FieldOrder::Canonical, body);
  if (written && *written == detail::BodyStatus::Written) return body;
  return generic_body(receipt);
}

std::expected<std::string, CanonicalError> compute_hash(const Receipt& receipt) {
  auto body = canonical_body(receipt);
  if (!body) return std::unexpected(std::move(body.error()));
  return formats::sha256_prefixed(*body);
}

bool validate_hash_format(std::string_view text) {
  constexpr std::string_view prefix = "sha256:";
  if (text.size() != prefix.size() + 64 || !text.starts_with(prefix)) return false;
  for (char c : text.substr(prefix.size())) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace tessary::receipts::canonical

namespace tessary::receipts {

std::expected<std::string, ValidationError> Receipt::compute_hash() const {
  auto hash = canonical::compute_hash(*this);
  if (!hash) return std::unexpected(ValidationError{ValidationError::Serialization{hash.error().to_string()}});
  return std::move(*hash);
}

}  // namespace tessary::receipts
