#include <gtest/gtest.h>

#include "formats/cbor_canon.hpp"

namespace cbor = tessary::formats::cbor;
namespace canon = tessary::formats::cbor_canon;
using cbor::Item;

namespace {

std::string hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

std::string canonical_hex(const Item& item) {
  auto bytes = canon::canonical_encode(item);
  EXPECT_TRUE(bytes.has_value());
  return bytes ? hex(*bytes) : "";
}

Item map(cbor::Map entries) { return Item{std::move(entries)}; }
Item array(cbor::Array elements) { return Item{std::move(elements)}; }

TEST(CborCanon, IntegerKeysSortByTheirEncodingBytes) {
  EXPECT_EQ(canonical_hex(map({{Item::uint(10), Item::text("x")}, {Item::uint(2), Item::text("y")}})),
            "a2026179" "0a6178");
}

TEST(CborCanon, IntegerKeySortsBeforeTextKeyByFirstByte) {
  // Sort keys 0x01 (the integer's encoding) and 0x61 (the text's bytes, no head).
  EXPECT_EQ(canonical_hex(map({{Item::text("a"), Item::uint(1)}, {Item::uint(1), Item::uint(2)}})), "a2010261610" "1");
}

TEST(CborCanon, TextKeysCompareBytewiseNotLengthFirst) {
  // RFC 8949's core order would put "b" (shorter encoding) before "aa".
  Item m = map({{Item::text("b"), Item::uint(1)}, {Item::text("aa"), Item::uint(2)}, {Item::text("a"), Item::uint(3)}});
  canon::canon_value(m);
  const auto& entries = m.as<cbor::Map>();
  EXPECT_EQ(entries[0].first, Item::text("a"));
  EXPECT_EQ(entries[1].first, Item::text("aa"));
  EXPECT_EQ(entries[2].first, Item::text("b"));
}

TEST(CborCanon, ReceiptBodyKeysTakeTheirKnownOrder) {
  cbor::Map body;
  for (const char* key : {"rid", "version", "kind", "dom", "cod", "links", "ctx", "payload", "attest"}) {
    body.emplace_back(Item::text(key), Item::null());
  }
  Item m{std::move(body)};
  canon::canon_value(m);
  std::vector<std::string> order;
  for (const auto& entry : m.as<cbor::Map>()) order.push_back(entry.first.as<std::string>());
  EXPECT_EQ(order, (std::vector<std::string>{"attest", "cod", "ctx", "dom", "kind", "links", "payload", "rid", "version"}));
}

TEST(CborCanon, NestedMapsSortButArraysKeepTheirOrder) {
  Item tree = array({map({{Item::text("z"), Item::uint(1)}, {Item::text("a"), Item::uint(2)}}), Item::uint(9),
                     map({{Item::text("k"), map({{Item::uint(3), Item::null()}, {Item::uint(1), Item::null()}})}})});
  canon::canon_value(tree);
  EXPECT_EQ(canon::diagnostic(tree), "[{\"a\": 2, \"z\": 1}, 9, {\"k\": {1: null, 3: null}}]");
}

TEST(CborCanon, EqualSortKeysKeepTheirRelativeOrder) {
  Item m = map({{Item::text("b"), Item::uint(1)},
                {Item::text("a"), Item::uint(2)},
                {Item::text("b"), Item::uint(3)},
                {Item::text("a"), Item::uint(4)}});
  canon::canon_value(m);
  EXPECT_EQ(canon::diagnostic(m), "{\"a\": 2, \"a\": 4, \"b\": 1, \"b\": 3}");
}

TEST(CborCanon, CompositeKeysSortByTheirCanonicalEncoding) {
  // The key maps are canonicalised before encoding, so {2:0, 1:0} compares as a2 01 00 02 00.
  Item k1 = map({{Item::uint(2), Item::uint(0)}, {Item::uint(1), Item::uint(0)}});
  EXPECT_EQ(hex(canon::format_key(k1)), "a201000200");
  EXPECT_EQ(hex(canon::format_key(Item::text("ab"))), "6162");
  EXPECT_EQ(hex(canon::format_key(Item{1.5})), "f93e00");
  EXPECT_EQ(hex(canon::format_key(Item::sint(-1))), "20");

  Item m = map({{k1, Item::uint(1)}, {Item::text("x"), Item::uint(2)}, {Item::null(), Item::uint(3)}});
  canon::canon_value(m);
  EXPECT_EQ(canon::diagnostic(m), "{\"x\": 2, {2: 0, 1: 0}: 1, null: 3}") << "keys themselves are not rewritten";
}

TEST(CborCanon, UnencodableKeyFallsBackToItsDiagnostic) {
  EXPECT_EQ(canon::format_key(Item{cbor::Simple{24}}), "simple(24)");
}

TEST(CborCanon, TagContentsAreLeftAlone) {
  Item tagged{cbor::Tagged{7, map({{Item::text("b"), Item::uint(1)}, {Item::text("a"), Item::uint(2)}})}};
  canon::canon_value(tagged);
  EXPECT_EQ(canon::diagnostic(tagged), "7({\"b\": 1, \"a\": 2})");
}

TEST(CborCanon, DiagnosticNotation) {
  Item item = map({{Item{cbor::Bytes{0x00, 0xff}}, array({Item{1.0}, Item{-2.5}, Item{1e300}, Item::sint(-7)})},
                   {Item::text("t\n\"q\""), Item{cbor::Simple{23}}},
                   {Item{false}, Item{cbor::Tagged{1, Item::uint(2)}}}});
  EXPECT_EQ(canon::diagnostic(item),
            "{h'00ff': [1.0, -2.5, 1e+300, -7], \"t\\u000a\\\"q\\\"\": undefined, false: 1(2)}");
}

}  // namespace
