#pragma once
// A generic CBOR data item (RFC 8949 data model): what free-form receipt
// fields (`attest`, `cash_instr`) hold and what canonicalisation works on.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tessary::formats::cbor {

struct Item;

// Integers span major types 0 and 1: value = n when !negative, value = -1 - n when negative.
struct Integer {
  bool negative = false;
  std::uint64_t n = 0;
  friend bool operator==(const Integer&, const Integer&) = default;
};

struct Null {
  friend bool operator==(const Null&, const Null&) = default;
};

// Simple values other than false, true and null (e.g. undefined = 23), kept as they are.
struct Simple {
  std::uint8_t value = 0;
  friend bool operator==(const Simple&, const Simple&) = default;
};

using Bytes = std::vector<std::uint8_t>;
using Array = std::vector<Item>;
// Entries in their own order; keys may be any item.
using Map = std::vector<std::pair<Item, Item>>;

// A tag owns its one inner item; copies are deep so items stay plain values.
struct Tagged {
  std::uint64_t number = 0;
  std::unique_ptr<Item> value;

  Tagged() = default;
  Tagged(std::uint64_t number, Item inner);
  Tagged(const Tagged& other);
  Tagged& operator=(const Tagged& other);
  Tagged(Tagged&&) noexcept = default;
  Tagged& operator=(Tagged&&) noexcept = default;
  friend bool operator==(const Tagged& a, const Tagged& b);
};

struct Item {
  // Floats are held widened to double; the encoder picks the shortest exact width.
  using Value = std::variant<Integer, Bytes, double, std::string, bool, Null, Simple, Array, Map, Tagged>;
  Value v;

  Item() : v(Null{}) {}
  Item(Value value) : v(std::move(value)) {}

  static Item uint(std::uint64_t n) { return Item{Integer{false, n}}; }
  static Item sint(std::int64_t i) {
    return i < 0 ? Item{Integer{true, static_cast<std::uint64_t>(-(i + 1))}} : Item{Integer{false, static_cast<std::uint64_t>(i)}};
  }
  static Item text(std::string s) { return Item{std::move(s)}; }
  static Item null() { return Item{Null{}}; }

  template <class T>
  bool is() const { return std::holds_alternative<T>(v); }
  template <class T>
  const T& as() const { return std::get<T>(v); }
  template <class T>
  T& as() { return std::get<T>(v); }

  friend bool operator==(const Item&, const Item&) = default;
};

inline Tagged::Tagged(std::uint64_t num, Item inner) : number(num), value(std::make_unique<Item>(std::move(inner))) {}
inline Tagged::Tagged(const Tagged& other)
    : number(other.number), value(other.value ? std::make_unique<Item>(*other.value) : nullptr) {}
inline Tagged& Tagged::operator=(const Tagged& other) {
  if (this != &other) {
    number = other.number;
    value = other.value ? std::make_unique<Item>(*other.value) : nullptr;
  }
  return *this;
}
inline bool operator==(const Tagged& a, const Tagged& b) {
  if (a.number != b.number) return false;
  if (!a.value || !b.value) return !a.value && !b.value;
  return *a.value == *b.value;
}

}  // namespace tessary::formats::cbor
