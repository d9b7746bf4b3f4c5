#include "storage/receipt_query.hpp"

#include <variant>

#include "formats/rfc3339.hpp"

namespace tessary::storage {
namespace {

using receipts::ExecutionPayload;
using receipts::Receipt;

const ExecutionPayload* execution_payload(const Receipt& receipt) {
  return std::get_if<ExecutionPayload>(&receipt.payload);
}

template <typename T, typename Field>
bool execution_field_matches(const Receipt& receipt, const std::optional<T>& wanted, Field field) {
  if (!wanted) return true;
  const ExecutionPayload* payload = execution_payload(receipt);
  return payload != nullptr && field(*payload) == *wanted;
}

bool within_time_bounds(const Receipt& receipt, const ReceiptQuery& query) {
  if (!query.start_time && !query.end_time) return true;
  const auto parsed = formats::rfc3339::parse(receipt.ctx.timestamp);
  if (!parsed) return false;
  if (query.start_time && parsed->unix_seconds < *query.start_time) return false;
  if (query.end_time && parsed->unix_seconds > *query.end_time) return false;
  return true;
}

}  // namespace

bool matches(const Receipt& receipt, const ReceiptQuery& query) {
  using P = ExecutionPayload;
  // An optional field compared with a present value is unequal when absent.
  return execution_field_matches(receipt, query.trace_id, [](const P& p) -> const auto& { return p.trace_id; }) &&
         execution_field_matches(receipt, query.workload_id,
                                 [](const P& p) -> const auto& { return p.method_ref.method_id; }) &&
         within_time_bounds(receipt, query) &&
         (!query.policy_ref || receipt.ctx.policy_ref == query.policy_ref) &&
         execution_field_matches(receipt, query.change_epoch,
                                 [](const P& p) -> const auto& { return p.change_epoch; }) &&
         execution_field_matches(receipt, query.pac, [](const P& p) -> const auto& { return p.pac; });
}

}  // namespace tessary::storage
