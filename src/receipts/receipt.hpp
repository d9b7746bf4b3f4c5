#pragma once
// The receipt envelope: one sealed record per unit of work.
#include <array>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/cbor_item.hpp"
#include "receipts/context.hpp"
#include "receipts/payloads.hpp"
#include "receipts/receipt_kind.hpp"
#include "receipts/record_fields.hpp"
#include "receipts/validation_error.hpp"
#include "receipts/value_types.hpp"

namespace tessary::receipts {

// Built by aggregate initialisation of all eleven fields. `kind` and the
// `payload` alternative must agree; whoever builds a receipt sets both.
struct Receipt {
  Uuid rid{};
  std::string version;
  ReceiptKind kind = ReceiptKind::Execution;
  std::string dom;
  std::string cod;
  std::vector<Uuid> links;
  Context ctx;
  Payload payload;
  std::optional<formats::cbor::Item> attest;
  std::optional<Signature> sig;
  std::string hash;  // empty until sealed

  static constexpr std::array<FieldSpec, 11> fields = {{
      {"rid", Presence::Required},
      {"version", Presence::Required},
      {"kind", Presence::Required},
      {"dom", Presence::Required},
      {"cod", Presence::Required},
      {"links", Presence::Required},
      {"ctx", Presence::Required},
      {"payload", Presence::Required},
      {"attest", Presence::NullWhenAbsent},
      {"sig", Presence::NullWhenAbsent},
      {"hash", Presence::Required},
  }};

  // The receipt hash over the canonical body: every field but `sig` and
  // `hash`. Does not store the result.
  std::expected<std::string, ValidationError> compute_hash() const;

  friend bool operator==(const Receipt&, const Receipt&) = default;
};

// The kind whose record `payload` holds.
inline ReceiptKind payload_kind(const Payload& payload) { return static_cast<ReceiptKind>(payload.index()); }

}  // namespace tessary::receipts
