#pragma once
// The strict reading of a receipt's JSON text: the text may hold nothing the
// receipt hash does not cover, so what a reader sees is what was sealed.
//
// The lenient reading (json_adapter.hpp) ignores members it does not know,
// keeps the last of a repeated key and drops values it cannot use; each of
// those leaves text beside a receipt that still verifies. The strict check
// refuses, in this order:
// - a key repeated within any object, at any depth (inside free-form items
//   too: their earlier values are not what was sealed). The first repeat in
//   text order is named;
// - text the lenient reading refuses (the adapter's own message);
// - a member that is not a field of its record, for the receipt's kind, in
//   the envelope, the context, the signature, the payload and every nested
//   record. Members are looked at in each object's key order;
// - a value the lenient reading drops: a `links` entry that is not a UUID
//   text (or `links` itself when it is neither an array nor null), a `sig`
//   that does not read as a signature.
// Accepted as sealed content: null for any field that may be absent
// (absence is what the seal covers, whichever way it is written), a record
// given as the array of its field values, the other accepted forms of UUIDs
// and 32-byte digests. Free-form items (`attest`, `cash_instr`) are sealed
// whole, so their members are not looked into, only checked for repeats.
//
// Paths name members from the receipt object down: `payload.roots.extra`,
// `payload.nodes[1].id`, `links[0]`; a key that is not plain letters,
// digits, `_` or `-` is written as a JSON string: `payload."a.b"`.
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace tessary::receipts {

struct StrictError {
  enum class Kind : std::uint8_t {
    Unreadable,  // text: the lenient adapter's display text
    Repeated,    // "repeated member " + path
    Unknown,     // "unknown member " + path
    Unsealed,    // "unsealed member " + path
  };

  Kind kind = Kind::Unreadable;
  std::string text;  // the path, or the adapter's text for Unreadable

  std::string to_string() const;

  friend bool operator==(const StrictError&, const StrictError&) = default;
};

// Succeeds when `json_text` reads as a receipt (leniently) and holds
// nothing outside its seal; see above.
std::expected<void, StrictError> check_strict(std::string_view json_text);

}  // namespace tessary::receipts
