#include "receipts/json_adapter.hpp"

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "formats/json_reader.hpp"
#include "receipts/json_decode_failure.hpp"
#include "receipts/json_decode_item.hpp"
#include "receipts/json_decode_members.hpp"
#include "receipts/json_decode_position.hpp"
#include "receipts/json_decode_records.hpp"
#include "receipts/json_decode_uuid.hpp"
#include "receipts/json_encode_item.hpp"
#include "receipts/json_encode_records.hpp"
#include "receipts/json_encode_text.hpp"

namespace tessary::receipts {

namespace {

namespace json = formats::json;
using json_decode::take_text;

constexpr std::size_t kTypicalReceiptBytes = 1536;

// ---- writing --------------------------------------------------------------

std::expected<void, std::string> check_items(const Receipt& receipt) {
  if (receipt.attest) {
    if (auto status = json_encode::check_item(*receipt.attest); !status) return status;
  }
  return json_encode::payload_items_check(receipt.payload);
}

void write_receipt(const Receipt& r, std::string& out) {
  using namespace json_encode;
  out.append("{\"rid\":");
  append_uuid(r.rid, out);
  out.append(",\"version\":");
  write_string(r.version, out);
  out.append(",\"kind\":\"");
  out.append(wire_string(r.kind));
  out.append("\",\"dom\":");
  write_string(r.dom, out);
  out.append(",\"cod\":");
  write_string(r.cod, out);
  out.append(",\"links\":[");
  for (std::size_t i = 0; i < r.links.size(); ++i) {
    if (i != 0) out.push_back(',');
    append_uuid(r.links[i], out);
  }
  out.append("],\"ctx\":");
  write_context(r.ctx, out);
  out.append(",\"payload\":");
  write_payload(r.payload, out);
  out.append(",\"attest\":");
  if (r.attest) {
    write_item(*r.attest, out);
  } else {
    out.append("null");
  }
  out.append(",\"sig\":");
  if (r.sig) {
    write_signature(*r.sig, out);
  } else {
    out.append("null");
  }
  out.append(",\"hash\":");
  write_string(r.hash, out);
  out.push_back('}');
}

// ---- reading --------------------------------------------------------------

std::string missing(std::string_view key) {
  std::string message = "missing field `";
  message += key;
  message += '`';
  return message;
}

// "Failed to deserialize <record>: <message> at line 1 column <c>", the column
// counted in the compact text of `root`, which is what the record decoder
// was given.
std::string record_failure(std::string_view record, const json::Value& root, const json_decode::Failure& failure) {
  std::string text = "Failed to deserialize ";
  text += record;
  text += ": ";
  text += failure.message;
  text += " at line 1 column ";
  text += std::to_string(json_decode::compact_offset(root, failure.position).value_or(0));
  return text;
}

template <class V>
std::vector<Uuid> read_links(const V* links) {
  std::vector<Uuid> out;
  if (links == nullptr || !links->is_array()) return out;
  out.reserve(links->as_array().size());
  for (const json::Value& element : links->as_array()) {
    if (!element.is_string()) continue;
    if (auto uuid = json_decode::parse_uuid(element.as_string())) out.push_back(*uuid);
  }
  return out;
}

// Any shortcoming (not an object, a member missing or not text) means no signature.
template <class V>
std::optional<Signature> read_signature(V* sig) {
  if (sig == nullptr || !sig->is_object()) return std::nullopt;
  auto& object = sig->as_object();
  V* alg = object.find("alg");
  V* kid = object.find("kid");
  V* text = object.find("sig");
  if (alg == nullptr || kid == nullptr || text == nullptr) return std::nullopt;
  if (!alg->is_string() || !kid->is_string() || !text->is_string()) return std::nullopt;
  Signature signature;
  take_text(*alg, signature.alg);
  take_text(*kid, signature.kid);
  take_text(*text, signature.sig);
  return signature;
}

// The receipt object's members the reader looks at, in ascending byte order
// of their keys, which is also the order of the tree's members: one merge
// walk finds them all.
enum Member : std::size_t { kAttest, kCod, kCtx, kDom, kHash, kKind, kLinks, kPayload, kRid, kSig, kVersion, kMemberCount };
constexpr std::array<std::string_view, kMemberCount> kMemberKeys = {"attest", "cod",     "ctx", "dom", "hash",   "kind",
                                                                    "links",  "payload", "rid", "sig", "version"};
static_assert([] {
  for (std::size_t i = 1; i < kMemberKeys.size(); ++i) {
    if (json_records::compare_names(kMemberKeys[i - 1], kMemberKeys[i]) >= 0) return false;
  }
  return true;
}());

template <class V>
std::array<V*, kMemberCount> find_members(V& root) {
  std::array<V*, kMemberCount> found{};
  std::size_t next = 0;
  for (const auto& member : root.as_object().members()) {
    int order = 1;
    while (next < kMemberCount && (order = json_records::compare_names(kMemberKeys[next], member.first)) < 0) ++next;
    if (next == kMemberCount) break;
    if (order == 0) found[next++] = &const_cast<V&>(member.second);  // a mutable V owns the tree
  }
  return found;
}

// The envelope's reading steps, in their order; the first failure wins. With
// a mutable V text is moved out of the tree, and failure messages may carry
// wrong positions (see json_decode_records.hpp). `receipt` is filled in
// place: a receipt is large, and moving it costs more than building it.
template <class V>
std::expected<void, std::string> build_receipt(V& root, Receipt& receipt) {
  if (!root.is_object()) return std::unexpected(std::string("invalid type: expected object, expected an object"));
  const std::array<V*, kMemberCount> member = find_members(root);

  V* kind = member[kKind];
  if (kind == nullptr || !kind->is_string()) return std::unexpected(missing("kind"));
  auto parsed_kind = parse_receipt_kind(kind->as_string());
  if (!parsed_kind) {
    return std::unexpected("invalid value: " + json_decode::describe(*kind) +
                           ", expected one of: data_shape, method_shape, reasoning_shape, execution, spend, settlement");
  }
  receipt.kind = *parsed_kind;

  V* payload = member[kPayload];
  if (payload == nullptr) return std::unexpected(missing("payload"));
  if (auto status = json_decode::decode_payload(receipt.kind, *payload, receipt.payload); !status) {
    return std::unexpected(record_failure(payload_record_name(receipt.kind), *payload, status.error()));
  }

  V* rid = member[kRid];
  if (rid == nullptr || !rid->is_string()) return std::unexpected(missing("rid"));
  auto parsed_rid = json_decode::parse_uuid(rid->as_string());
  if (!parsed_rid) return std::unexpected("Invalid UUID in rid: " + parsed_rid.error().to_string());
  receipt.rid = *parsed_rid;

  for (auto [slot, field] : {std::pair{kVersion, &receipt.version}, {kDom, &receipt.dom}, {kCod, &receipt.cod}}) {
    V* value = member[slot];
    if (value == nullptr || !value->is_string()) return std::unexpected(missing(kMemberKeys[slot]));
    take_text(*value, *field);
  }

  receipt.links = read_links<V>(member[kLinks]);

  V* ctx = member[kCtx];
  if (ctx == nullptr) return std::unexpected(missing("ctx"));
  if (auto status = json_decode::decode_context(*ctx, receipt.ctx); !status) {
    return std::unexpected(record_failure("Context", *ctx, status.error()));
  }

  // A null item and an absent one write and hash alike; null reads as absent.
  if (V* attest = member[kAttest]; attest != nullptr && !attest->is_null()) {
    receipt.attest = json_decode::to_item(*attest);
  }

  receipt.sig = read_signature<V>(member[kSig]);

  V* hash = member[kHash];
  if (hash == nullptr || !hash->is_string()) return std::unexpected(missing("hash"));
  take_text(*hash, receipt.hash);
  return {};
}

AdapterError read_error(std::string message) { return {AdapterError::Kind::JsonDeserialize, std::move(message)}; }

}  // namespace

std::expected<std::string, AdapterError> receipt_to_json(const Receipt& receipt) {
  if (auto status = check_items(receipt); !status) {
    return std::unexpected(AdapterError{AdapterError::Kind::JsonSerialize, std::move(status.error())});
  }
  std::string out;
  out.reserve(kTypicalReceiptBytes);
  write_receipt(receipt, out);
  return out;
}

std::expected<Receipt, std::string> deserialize_from_json_value(const json::Value& value) {
  std::expected<Receipt, std::string> result{std::in_place};
  if (auto status = build_receipt<const json::Value>(value, *result); !status) result = std::unexpected(std::move(status.error()));
  return result;
}

std::expected<void, AdapterError> receipt_from_json(std::string_view text, Receipt& out) {
  auto parsed = json::parse_prefix(text);
  if (!parsed) return std::unexpected(read_error(parsed.error().to_string()));
  auto& [tree, end] = *parsed;
  // Fast path: take the text out of the tree instead of copying it.
  if (auto status = build_receipt<json::Value>(tree, out); !status) {
    // The moving pass leaves the tree unfit for positions; a fresh tree gives
    // the same failure with its exact message.
    auto again = json::parse_prefix(text);
    out = Receipt{};
    auto exact = again ? build_receipt<const json::Value>(again->first, out) : status;
    if (!exact) return std::unexpected(read_error(std::move(exact.error())));
  }
  if (auto tail = json::expect_end(text, end); !tail) return std::unexpected(read_error(tail.error().to_string()));
  return {};
}

std::expected<Receipt, AdapterError> receipt_from_json(std::string_view text) {
  std::expected<Receipt, AdapterError> result{std::in_place};
  if (auto status = receipt_from_json(text, *result); !status) result = std::unexpected(std::move(status.error()));
  return result;
}

}  // namespace tessary::receipts
