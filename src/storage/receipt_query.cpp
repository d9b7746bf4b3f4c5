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

// An absent filter passes everything; a present one only an equal present value.
template <typename Have, typename Wanted>
bool passes(const std::optional<Have>& have, const std::optional<Wanted>& wanted) {
  return !wanted || (have && *have == *wanted);
}

bool within_time_bounds(const Receipt& receipt, const ReceiptQuery& query) {
  if (!query.start_time && !query.end_time) return true;
  const auto seconds = timestamp_seconds(receipt);
  if (!seconds) return false;
  if (query.start_time && *seconds < *query.start_time) return false;
  if (query.end_time && *seconds > *query.end_time) return false;
  return true;
}

std::optional<std::string_view> view_of(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

}  // namespace

std::optional<std::int64_t> timestamp_seconds(const Receipt& receipt) {
  const auto parsed = formats::rfc3339::parse(receipt.ctx.timestamp);
  if (!parsed) return std::nullopt;
  return parsed->unix_seconds;
}

FilterFields filter_fields(const Receipt& receipt) {
  FilterFields fields;
  fields.policy_ref = view_of(receipt.ctx.policy_ref);
  if (const ExecutionPayload* payload = execution_payload(receipt)) {
    fields.workload_id = payload->method_ref.method_id;
    fields.trace_id = payload->trace_id;
    fields.change_epoch = view_of(payload->change_epoch);
    fields.pac = payload->pac;
  }
  return fields;
}

bool matches(const Receipt& receipt, const ReceiptQuery& query) {
  const FilterFields fields = filter_fields(receipt);
  return passes(fields.trace_id, query.trace_id) && passes(fields.workload_id, query.workload_id) &&
         within_time_bounds(receipt, query) && passes(fields.policy_ref, query.policy_ref) &&
         passes(fields.change_epoch, query.change_epoch) && passes(fields.pac, query.pac);
}

}  // namespace tessary::storage
