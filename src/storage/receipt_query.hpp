#pragma once
// The filter of a receipt query. Every field is optional and an absent one
// filters nothing; a receipt is returned only when it passes every present
// filter. Text compares byte for byte.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "receipts/receipt.hpp"

namespace tessary::storage {

struct ReceiptQuery {
  std::optional<std::string> workload_id;     // execution receipts: payload method_ref.method_id
  std::optional<std::string> trace_id;        // execution receipts: payload trace_id
  std::optional<std::string> policy_ref;      // any kind: ctx.policy_ref present and equal
  std::optional<std::string> change_epoch;    // execution receipts: payload change_epoch present and equal
  std::optional<receipts::Digest32> pac;      // execution receipts: payload pac present and equal
  std::optional<std::int64_t> start_time;     // ctx.timestamp parses and is at or after, whole UTC seconds
  std::optional<std::int64_t> end_time;       // ctx.timestamp parses and is at or before, whole UTC seconds
  std::optional<std::size_t> limit;           // not a filter: keeps the first `limit` matches in listing order

  friend bool operator==(const ReceiptQuery&, const ReceiptQuery&) = default;
};

// Whether `receipt` passes every filter of `query` (`limit` aside). Filters
// run in the order trace, workload, time bounds, policy, change epoch, pac;
// a timestamp that is not an RFC 3339 date-time fails any time bound.
bool matches(const receipts::Receipt& receipt, const ReceiptQuery& query);

// The values of a receipt that the filters above compare, read exactly as
// `matches` reads them, for stores that index them: absent where no present
// filter value could equal them (the execution fields of other kinds, a
// missing policy, change epoch or pac). The views point into `receipt`.
struct FilterFields {
  std::optional<std::string_view> workload_id;
  std::optional<std::string_view> trace_id;
  std::optional<std::string_view> policy_ref;
  std::optional<std::string_view> change_epoch;
  std::optional<receipts::Digest32> pac;
};
FilterFields filter_fields(const receipts::Receipt& receipt);

// ctx.timestamp as whole UTC seconds, as the time bounds compare it; nullopt
// when it is not an RFC 3339 date-time.
std::optional<std::int64_t> timestamp_seconds(const receipts::Receipt& receipt);

}  // namespace tessary::storage
