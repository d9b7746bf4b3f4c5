#pragma once
// When, under which policy and as whom a unit of work ran; and the detached
// signature a receipt may carry (never computed or checked here).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "receipts/record_fields.hpp"

namespace tessary::receipts {

enum class DeterminismClass : std::uint8_t { Strict, Bounded, Observational };

// "strict", "bounded", "observational".
std::string_view wire_string(DeterminismClass determinism);
std::optional<DeterminismClass> parse_determinism(std::string_view wire);

struct Context {
  std::optional<std::string> policy_ref;
  std::string timestamp;
  std::optional<std::string> nonce;
  std::optional<DeterminismClass> determinism;
  std::optional<std::string> identity_ref;

  static constexpr std::string_view expectation = "struct Context with 5 elements";
  static constexpr std::array<FieldSpec, 5> fields = {{
      {"policy_ref", Presence::NullWhenAbsent},
      {"timestamp", Presence::Required},
      {"nonce", Presence::NullWhenAbsent},
      {"determinism", Presence::NullWhenAbsent},
      {"identity_ref", Presence::NullWhenAbsent},
  }};

  friend bool operator==(const Context&, const Context&) = default;
};

struct Signature {
  std::string alg;
  std::string kid;
  std::string sig;

  static constexpr std::string_view expectation = "struct Signature with 3 elements";
  static constexpr std::array<FieldSpec, 3> fields = {{
      {"alg", Presence::Required},
      {"kid", Presence::Required},
      {"sig", Presence::Required},
  }};

  friend bool operator==(const Signature&, const Signature&) = default;
};

}  // namespace tessary::receipts
