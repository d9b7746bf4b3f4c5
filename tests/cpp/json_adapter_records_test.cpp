// The typed record decoder behind the JSON adapter: its messages, and the
// column each failure names in the compact text of the payload or context.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "formats/base64url.hpp"
#include "formats/json_reader.hpp"
#include "formats/json_writer.hpp"
#include "formats/uuid.hpp"
#include "receipts/json_adapter.hpp"
#include "receipts/json_decode_failure.hpp"
#include "receipts/json_decode_position.hpp"

namespace json = tessary::formats::json;
namespace decode = tessary::receipts::json_decode;
using tessary::receipts::receipt_from_json;

namespace {

// A complete receipt around `payload` and `ctx`, so that only they can fail.
std::string receipt_text(std::string_view kind, std::string_view payload,
                         std::string_view ctx = R"({"timestamp":"2025-01-17T12:00:00+00:00"})") {
  std::string text = R"({"rid":"12345678-9abc-4def-8001-020304050607","version":"0.1.0","kind":")";
  text += kind;
  text += R"(","dom":"d","cod":"c","links":[],"ctx":)";
  text += ctx;
  text += R"(,"payload":)";
  text += payload;
  text += R"(,"attest":null,"sig":null,"hash":"h"})";
  return text;
}

std::string failure_of(const std::string& text) {
  auto receipt = receipt_from_json(text);
  if (receipt) return "(accepted)";
  return receipt.error().to_string();
}

const std::string kDigestText = "47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU";  // 32 bytes

std::string byte_array(int count, int value = 7) {
  std::string text = "[";
  for (int i = 0; i < count; ++i) {
    if (i != 0) text += ',';
    text += std::to_string(value);
  }
  return text + "]";
}

struct Case {
  std::string receipt;
  std::string message;  // after "JSON deserialization failed: Failed to deserialize "
};

Case payload(const char* kind, const std::string& payload, const std::string& message) {
  const auto record = tessary::receipts::payload_record_name(*tessary::receipts::parse_receipt_kind(kind));
  return {receipt_text(kind, payload), std::string(record) + ": " + message};
}
// The 32-byte fields, tried on `pac`: `{"pac":` is 7 bytes of the compact text.
Case pac(const std::string& value, const std::string& message) { return payload("execution", R"({"pac":)" + value + "}", message); }
Case context(const std::string& ctx, const std::string& message) {
  return {receipt_text("data_shape", R"({"schema_hash":"s"})", ctx), "Context: " + message};
}

std::string b64_error(std::string_view text) { return tessary::formats::base64url::decode(text).error().to_string(); }
std::string encoded(std::size_t bytes) { return tessary::formats::base64url::encode(std::vector<std::uint8_t>(bytes, 0xAB)); }

class RecordFailures : public ::testing::TestWithParam<Case> {};

TEST_P(RecordFailures, NameTheFaultAndItsColumnInTheCompactText) {
  EXPECT_EQ(failure_of(GetParam().receipt), "JSON deserialization failed: Failed to deserialize " + GetParam().message);
}

const std::string kNotDigest = "expected a base64url string or array of 32 numbers at line 1 column ";
const std::string kVariants = "expected one of `strict`, `bounded`, `observational` at line 1 column 23";

INSTANTIATE_TEST_SUITE_P(
    Messages, RecordFailures,
    ::testing::Values(
        payload("execution", "{}", "missing field `trace_id` at line 1 column 2"),
        // Written with spaces and out of order: the column is in the re-written, key-sorted text.
        payload("execution", R"({ "trace_id" : 5 })", "invalid type: integer `5`, expected a string at line 1 column 13"),
        payload("execution", R"({"trace_id":5,"data_shape_hash":6})", "invalid type: integer `6`, expected a string at line 1 column 20"),
        payload("execution", R"({"hll_cardinality":-1})", "invalid value: integer `-1`, expected u64 at line 1 column 21"),
        payload("execution", R"({"hll_cardinality":1.0})", "invalid type: floating point `1.0`, expected u64 at line 1 column 22"),
        payload("execution", R"({"hll_cardinality":18446744073709551616})",
                "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 40"),
        payload("execution", R"({"hll_cardinality":"7"})", "invalid type: string \"7\", expected u64 at line 1 column 22"),
        payload("execution", R"({"cdf_metadata":[{"commit_version":9223372036854775808}]})",
                "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 54"),
        payload("execution", R"({"cdf_metadata":[{"commit_version":1e0}]})",
                "invalid type: floating point `1.0`, expected i64 at line 1 column 38"),
        payload("execution", R"({"minhash_signature":[1,256]})", "invalid value: integer `256`, expected u8 at line 1 column 27"),
        payload("execution", R"({"minhash_signature":"AAE"})", "invalid type: string \"AAE\", expected a sequence at line 1 column 26"),
        payload("execution", R"({"method_ref":["a","b"]})",
                "invalid length 2, expected struct MethodRef with 3 elements at line 1 column 23"),
        payload("execution", R"({"method_ref":["a","b","c","d"]})",
                "invalid length 4, expected struct MethodRef with 3 elements at line 1 column 31"),
        payload("execution", R"({"roots":"x"})", "invalid type: string \"x\", expected struct ExecutionRoots at line 1 column 12"),
        payload("execution", R"({"span_commitments":{}})", "invalid type: map, expected a sequence at line 1 column 20"),
        payload("execution", R"({"prev_execution_rid":7})", "invalid type: integer `7`, expected a UUID string at line 1 column 23"),
        payload("execution", R"({"prev_execution_rid":"zz"})",
                "UUID parsing failed: " + tessary::formats::uuid::parse("zz").error().to_string() + " at line 1 column 26"),
        payload("execution", R"({"output_locator_ref":{"content_hash":"h","encrypted_data":[1],"encryption_scheme":true}})",
                "invalid type: boolean `true`, expected a string at line 1 column 87"),
        payload("execution", "\"abc\"", "invalid type: string \"abc\", expected struct ExecutionPayload at line 1 column 5"),
        payload("execution", "[]", "invalid length 0, expected struct ExecutionPayload with 20 elements at line 1 column 2"),
        payload("reasoning_shape", R"({"intent_hash":"i","node_refs":[]})", "missing field `dag_hash` at line 1 column 34"),
        payload("reasoning_shape", R"({"quality":{"success_score":true}})",
                "invalid type: boolean `true`, expected f32 at line 1 column 32"),
        payload("spend", R"({"total_value":null})", "invalid type: null, expected f64 at line 1 column 19"),
        payload("settlement", R"({"net_positions":[]})", "invalid type: sequence, expected a map at line 1 column 17"),
        payload("settlement", R"({"net_positions":{"a":"x\n"}})", "invalid type: string \"x\\n\", expected f64 at line 1 column 27"),
        payload("data_shape", "[\"s\"]", "invalid length 1, expected struct DataShapePayload with 2 elements at line 1 column 5"),
        pac("\"" + kDigestText + "=\"", "Invalid base64url string: " + b64_error(kDigestText + "=") + " at line 1 column 53"),
        pac("\"" + encoded(31) + "\"", "Expected 32 bytes, got 31 bytes at line 1 column 51"),
        pac("\"" + encoded(33) + "\"", "Expected 32 bytes, got 33 bytes at line 1 column 53"),
        pac("\"a+b\"", "Invalid base64url string: " + b64_error("a+b") + " at line 1 column 12"),
        pac(byte_array(31), "Array too short, expected 32 bytes, got 31 at line 1 column 70"),
        pac(byte_array(33), "Array too long, expected 32 bytes at line 1 column 74"),
        // With more than 33 the reader, having taken the 33rd, stands at the start of the 34th.
        pac(byte_array(35, 100), "Array too long, expected 32 bytes at line 1 column 140"),
        pac("[1,-1]", "invalid value: integer `-1`, expected u8 at line 1 column 12"),
        pac("[1,\"a\"]", "invalid type: string \"a\", expected u8 at line 1 column 13"),
        pac("true", "invalid type: boolean `true`, " + kNotDigest + "11"),
        pac("{}", "invalid type: map, " + kNotDigest + "9"),
        pac(R"({"a":1})", "invalid type: map, " + kNotDigest + "8"),
        context("{}", "missing field `timestamp` at line 1 column 2"),
        context("[]", "invalid length 0, expected struct Context with 5 elements at line 1 column 2"),
        context(R"({"timestamp":"t","nonce":5})", "invalid type: integer `5`, expected a string at line 1 column 10"),
        context(R"({"determinism":"Strict","timestamp":"t"})", "unknown variant `Strict`, " + kVariants),
        // Not a name and not the {"name": null} form: refused one byte into the value.
        context(R"({"determinism":5,"timestamp":"t"})", "expected value at line 1 column 16"),
        context(R"({"determinism":{},"timestamp":"t"})", "expected value at line 1 column 17"),
        context(R"({"determinism":{"bogus":null},"timestamp":"t"})", "unknown variant `bogus`, " + kVariants),
        context(R"({"determinism":{"strict":1},"timestamp":"t"})", "invalid type: integer `1`, expected unit at line 1 column 26"),
        context(R"({"determinism":{"strict":null,"x":1},"timestamp":"t"})", "expected value at line 1 column 29"),
        context("\"t\"", "invalid type: string \"t\", expected struct Context at line 1 column 3")));

tessary::receipts::Receipt read(const char* kind, const std::string& payload, const std::string& ctx) {
  auto receipt = receipt_from_json(receipt_text(kind, payload, ctx));
  EXPECT_TRUE(receipt.has_value()) << receipt.error().to_string();
  return receipt ? *receipt : tessary::receipts::Receipt{};
}

TEST(ContextForms, ArrayAndTaggedObjectFormsAreRead) {
  const auto array_form = read("data_shape", R"({"schema_hash":"s"})", R"(["pol:a/b@1.0.0","t",null,"bounded",null])");
  EXPECT_EQ(array_form.ctx.policy_ref, "pol:a/b@1.0.0");
  EXPECT_EQ(array_form.ctx.determinism, tessary::receipts::DeterminismClass::Bounded);
  const auto tagged = read("data_shape", R"({"schema_hash":"s"})", R"({"timestamp":"t","determinism":{"strict":null}})");
  EXPECT_EQ(tagged.ctx.determinism, tessary::receipts::DeterminismClass::Strict);
}

TEST(PayloadForms, F32FieldsTakeTheNearestSingleAndOverflowToInfinity) {
  const std::vector<std::pair<std::string, float>> cases = {
      {"0.1", 0.1f}, {"1", 1.0f},
      // 2^60 + 2^36 + 1 lies just above the midpoint of two singles; through a
      // double it would land on the midpoint and round down to even.
      {"1152921573326323713", 0x1.000002p60f},
      // 2^128 - 2^103 is halfway between the largest single and 2^128: ties go to infinity.
      {"3.4028235677973366e38", std::numeric_limits<float>::infinity()},
      {"3.4028235677973362e38", std::numeric_limits<float>::max()}};
  for (const auto& [text, expected] : cases) {
    const auto r = read("reasoning_shape", R"({"intent_hash":"i","dag_hash":"d","node_refs":[],"quality":{"success_score":)" + text + "}}",
                        R"({"timestamp":"t"})");
    EXPECT_EQ(std::get<tessary::receipts::ReasoningShapePayload>(r.payload).quality->success_score, expected) << text;
  }
}

// Nulls, booleans, integers, sequences and maps are described in the messages above.
TEST(FoundDescriptions, FollowTheFamiliarWording) {
  EXPECT_EQ(decode::describe(json::Value(-0.0)), "floating point `-0.0`");
  EXPECT_EQ(decode::describe(json::Value(1e-7)), "floating point `1e-7`");
  EXPECT_EQ(decode::quoted("a\"b\\c\n\t\r"), R"("a\"b\\c\n\t\r")");
  EXPECT_EQ(decode::quoted(std::string("\0\x01\x7f", 3)), R"("\0\u{1}\u{7f}")");
  EXPECT_EQ(decode::quoted("caf\xc3\xa9 \xc2\xa0 \xe2\x80\x8b"), "\"caf\xc3\xa9 \\u{a0} \\u{200b}\"");
}

// ---- columns ----------------------------------------------------------------

void each_node(const json::Value& value, const std::function<void(const json::Value&)>& f) {
  f(value);
  if (value.is_array()) {
    for (const auto& element : value.as_array()) each_node(element, f);
  } else if (value.is_object()) {
    for (const auto& [key, member] : value.as_object()) each_node(member, f);
  }
}

TEST(CompactOffsets, AgreeWithTheCompactWriterForEveryNode) {
  auto tree = json::parse(R"({"z":[1,-20,0.5,1e300,-0.0,true,false,null,"q\"\\\u0001\n/é"],
                             "a\u0007":{"":{},"k":[[],[{}]]},"m":{"x":18446744073709551615,"y":-9223372036854775808}})");
  ASSERT_TRUE(tree.has_value());
  const std::string text = json::to_compact(*tree);
  EXPECT_EQ(decode::compact_length(*tree), text.size());
  int nodes = 0;
  each_node(*tree, [&](const json::Value& node) {
    ++nodes;
    const auto start = decode::compact_offset(*tree, decode::Position::start(node));
    const auto end = decode::compact_offset(*tree, decode::Position::end(node));
    ASSERT_TRUE(start && end);
    EXPECT_EQ(text.substr(*start, *end - *start), json::to_compact(node));
  });
  EXPECT_EQ(nodes, 20);
  const json::Value stranger;
  EXPECT_FALSE(decode::compact_offset(*tree, decode::Position::start(stranger)).has_value());
}

}  // namespace
