// The receipt JSON adapter: the text it writes, what it refuses to read with
// the message and the column in the compact text, the forms it reads, and
// round trips.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "formats/base64url.hpp"
#include "formats/json_reader.hpp"
#include "formats/json_writer.hpp"
#include "formats/uuid.hpp"
#include "receipt_samples.hpp"
#include "receipts/json_adapter.hpp"
#include "receipts/json_decode_failure.hpp"
#include "receipts/json_decode_position.hpp"
#include "test_support.hpp"

namespace cbor = tessary::formats::cbor;
namespace json = tessary::formats::json;
namespace decode = tessary::receipts::json_decode;
namespace samples = tessary::receipts::samples;
using namespace tessary::receipts;

namespace {

std::string to_json(const Receipt& receipt) { return support::value_of(receipt_to_json(receipt)); }
Receipt from_json(std::string_view text) { return support::value_of(receipt_from_json(text)); }

std::string failure_of(const std::string& text) { return support::error_text(receipt_from_json(text)); }

cbor::Item map(cbor::Map entries) { return cbor::Item{std::move(entries)}; }
cbor::Item array(cbor::Array elements) { return cbor::Item{std::move(elements)}; }

// ---- writing ------------------------------------------------------------------

// Member order, compact layout and the hash of every kind are the Python property's.
TEST(ReceiptToJson, FloatsUseTheirShortestFormAndNullWhenNotFinite) {
  Receipt reasoning = samples::reasoning_shape();
  std::get<ReasoningShapePayload>(reasoning.payload).quality = ReasoningQuality{0.1f, std::nullopt, std::nullopt, 1e14f};
  EXPECT_NE(to_json(reasoning).find(R"("quality":{"success_score":0.1,"eval_method":null,"review_hash":null,"confidence":1e14})"),
            std::string::npos);

  Receipt settlement = samples::settlement();
  std::get<SettlementPayload>(settlement.payload).net_positions = {{"b", 1.0}, {"a", 2.0}, {"c", -0.0}};
  EXPECT_NE(to_json(settlement).find(R"("net_positions":{"a":2.0,"b":1.0,"c":-0.0})"), std::string::npos);

  Receipt spend = samples::spend();
  auto& payload = std::get<SpendPayload>(spend.payload);
  payload.total_value = std::numeric_limits<double>::quiet_NaN();
  payload.meter.gpu_sec = std::numeric_limits<double>::infinity();
  const std::string text = to_json(spend);
  EXPECT_NE(text.find(R"("meter":{"vcpu_sec":2.0,"gpu_sec":null,)"), std::string::npos);
  EXPECT_NE(text.find(R"("total_value":null,)"), std::string::npos);
}

// Items JSON cannot carry are written as JSON and read back normalised; a null
// item reads back as no item, and both write and hash alike.
TEST(ReceiptToJson, MapsStructuredItemsToJsonAndReadsThemBackNormalised) {
  Receipt r = samples::data_shape();
  r.attest = map({{cbor::Item::text("z"), cbor::Item{cbor::Bytes{0, 255}}},
                  {cbor::Item::uint(10), cbor::Item{cbor::Tagged{1, cbor::Item::sint(-1)}}},
                  {cbor::Item::sint(-3), array({cbor::Item{cbor::Integer{true, UINT64_MAX}}, cbor::Item{std::numeric_limits<double>::infinity()},
                                                cbor::Item{1.0}, cbor::Item{cbor::Simple{23}}, cbor::Item{true}, cbor::Item::null()})}});
  EXPECT_NE(to_json(r).find(R"("attest":{"z":[0,255],"10":{"@@TAGGED@@":[1,-1]},)"
                            R"("-3":[-18446744073709551616,null,1.0,null,true,null]},"sig":null)"), std::string::npos);
  r.attest = map({{cbor::Item::uint(2), cbor::Item{cbor::Bytes{1, 2}}}, {cbor::Item::text("1"), cbor::Item{cbor::Tagged{32, cbor::Item::text("u")}}}});
  EXPECT_EQ(from_json(to_json(r)).attest,
            map({{cbor::Item::text("1"), map({{cbor::Item::text("@@TAGGED@@"), array({cbor::Item::uint(32), cbor::Item::text("u")})}})},
                 {cbor::Item::text("2"), array({cbor::Item::uint(1), cbor::Item::uint(2)})}}));
  r.attest = cbor::Item::null();
  EXPECT_FALSE(from_json(to_json(r)).attest.has_value());
  EXPECT_EQ(to_json(from_json(to_json(r))), to_json(r));
}

TEST(ReceiptToJson, RefusesMapKeysJsonCannotHoldAndItemsBeyondTheEncoderLimit) {
  std::vector<std::pair<cbor::Item, std::string>> cases = {{support::nested_arrays(2000), "recursion limit exceeded"}};
  for (const cbor::Item& key : {cbor::Item{1.5}, cbor::Item{cbor::Tagged{0, cbor::Item::text("k")}}}) {
    cases.emplace_back(array({map({{key, cbor::Item::uint(1)}})}), "key must be a string");
  }
  for (auto& [item, message] : cases) {
    Receipt r = samples::data_shape();
    r.attest = std::move(item);
    auto text = receipt_to_json(r);
    ASSERT_FALSE(text.has_value());
    EXPECT_EQ(text.error().to_string(), "JSON serialization failed: " + message);
  }
}

// ---- reading: what is refused, and why ------------------------------------------

// A complete receipt around `payload` and `ctx`, so that only they can fail.
std::string receipt_text(const std::string& kind, const std::string& payload,
                         const std::string& ctx = R"({"timestamp":"2025-01-17T12:00:00+00:00"})") {
  return R"({"rid":"12345678-9abc-4def-8001-020304050607","version":"0.1.0","kind":")" + kind +
         R"(","dom":"d","cod":"c","links":[],"ctx":)" + ctx + R"(,"payload":)" + payload + R"(,"attest":null,"sig":null,"hash":"h"})";
}

std::string byte_array(int count, int value = 7) {
  std::string text;
  for (int i = 0; i < count; ++i) text += (i == 0 ? "[" : ",") + std::to_string(value);
  return text + "]";
}

struct Case {
  std::string receipt;
  std::string message;  // after "JSON deserialization failed: "
};

Case payload(const char* kind, const std::string& payload, const std::string& message) {
  const auto record = tessary::receipts::payload_record_name(*tessary::receipts::parse_receipt_kind(kind));
  return {receipt_text(kind, payload), "Failed to deserialize " + std::string(record) + ": " + message};
}
Case exec(const std::string& value, const std::string& message) { return payload("execution", value, message); }
// The 32-byte fields, tried on `pac`: `{"pac":` is 7 bytes of the compact text.
Case pac(const std::string& value, const std::string& message) { return payload("execution", R"({"pac":)" + value + "}", message); }
Case context(const std::string& ctx, const std::string& message) {
  return {receipt_text("data_shape", R"({"schema_hash":"s"})", ctx), "Failed to deserialize Context: " + message};
}

std::string b64_error(std::string_view text) { return tessary::formats::base64url::decode(text).error().to_string(); }
std::string encoded(std::size_t bytes) { return tessary::formats::base64url::encode(std::vector<std::uint8_t>(bytes, 0xAB)); }

const std::string kNotDigest = "expected a base64url string or array of 32 numbers at line 1 column ";
const std::string kVariants = "expected one of `strict`, `bounded`, `observational` at line 1 column 23";

const std::string kCtx = R"("ctx":{"timestamp":"t"})";
const std::string kRid = R"("rid":"12345678-9abc-4def-8001-020304050607")";
const std::string kHead = R"({"kind":"data_shape","payload":{"schema_hash":"s"},)";

TEST(ReceiptFromJson, StopsAtTheFirstFaultWithItsMessage) {
  const Case cases[] = {
      Case{"{\n  \"kind\": tru }", "expected ident at line 2 column 14"}, Case{"[]", "invalid type: expected object, expected an object"},
      Case{R"({"kind":"Execution"})", "invalid value: string \"Execution\", expected one of: data_shape, method_shape, reasoning_shape, "
               "execution, spend, settlement"},
      Case{R"({"kind":"execution"})", "missing field `payload`"}, Case{kHead + R"("rid":5})", "missing field `rid`"},
      Case{kHead + R"("rid":"12345678-9abc-4def-8001-02030405060"})",
               "Invalid UUID in rid: invalid group length in group 4: expected 12, found 11"},
      Case{kHead + kRid + R"(,"version":"v","dom":"d","cod":null})", "missing field `cod`"},
      Case{kHead + kRid + R"(,"version":"v","dom":"d","cod":"c","links":7,"hash":"h"})", "missing field `ctx`"},
      Case{kHead + kRid + R"(,"version":"v","dom":"d","cod":"c",)" + kCtx + R"(,"attest":1,"sig":2})", "missing field `hash`"},
      // The value is read and built before what follows it is looked at.
      Case{"{}}", "missing field `kind`"}, exec("{}", "missing field `trace_id` at line 1 column 2"),
      // Written with spaces and out of order: the column is in the re-written, key-sorted text.
      exec(R"({ "trace_id" : 5 })", "invalid type: integer `5`, expected a string at line 1 column 13"),
      exec(R"({"hll_cardinality":-1})", "invalid value: integer `-1`, expected u64 at line 1 column 21"),
      exec(R"({"hll_cardinality":18446744073709551616})",
              "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 40"),
      exec(R"({"cdf_metadata":[{"commit_version":9223372036854775808}]})",
              "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 54"),
      exec(R"({"minhash_signature":[1,256]})", "invalid value: integer `256`, expected u8 at line 1 column 27"),
      exec(R"({"method_ref":["a","b"]})", "invalid length 2, expected struct MethodRef with 3 elements at line 1 column 23"),
      exec(R"({"method_ref":["a","b","c","d"]})", "invalid length 4, expected struct MethodRef with 3 elements at line 1 column 31"),
      exec(R"({"span_commitments":{}})", "invalid type: map, expected a sequence at line 1 column 20"),
      exec(R"({"prev_execution_rid":7})", "invalid type: integer `7`, expected a UUID string at line 1 column 23"),
      exec(R"({"prev_execution_rid":"zz"})",
              "UUID parsing failed: " + tessary::formats::uuid::parse("zz").error().to_string() + " at line 1 column 26"),
      exec("\"abc\"", "invalid type: string \"abc\", expected struct ExecutionPayload at line 1 column 5"),
      exec("[]", "invalid length 0, expected struct ExecutionPayload with 20 elements at line 1 column 2"),
      payload("reasoning_shape", R"({"quality":{"success_score":true}})", "invalid type: boolean `true`, expected f32 at line 1 column 32"),
      payload("spend", R"({"total_value":null})", "invalid type: null, expected f64 at line 1 column 19"),
      payload("settlement", R"({"net_positions":[]})", "invalid type: sequence, expected a map at line 1 column 17"),
      pac("\"" + encoded(32) + "=\"", "Invalid base64url string: " + b64_error(encoded(32) + "=") + " at line 1 column 53"),
      pac("\"" + encoded(31) + "\"", "Expected 32 bytes, got 31 bytes at line 1 column 51"),
      pac(byte_array(31), "Array too short, expected 32 bytes, got 31 at line 1 column 70"),
      pac(byte_array(33), "Array too long, expected 32 bytes at line 1 column 74"),
      // With more than 33 the reader, having taken the 33rd, stands at the start of the 34th.
      pac(byte_array(35, 100), "Array too long, expected 32 bytes at line 1 column 140"),
      pac("[1,-1]", "invalid value: integer `-1`, expected u8 at line 1 column 12"), pac("{}", "invalid type: map, " + kNotDigest + "9"),
      pac(R"({"a":1})", "invalid type: map, " + kNotDigest + "8"),
      context(R"({"determinism":"Strict","timestamp":"t"})", "unknown variant `Strict`, " + kVariants),
      // Not a name and not the {"name": null} form: refused one byte into the value.
      context(R"({"determinism":5,"timestamp":"t"})", "expected value at line 1 column 16"),
      context(R"({"determinism":{},"timestamp":"t"})", "expected value at line 1 column 17"),
      context(R"({"determinism":{"bogus":null},"timestamp":"t"})", "unknown variant `bogus`, " + kVariants),
      context(R"({"determinism":{"strict":1},"timestamp":"t"})", "invalid type: integer `1`, expected unit at line 1 column 26"),
      context(R"({"determinism":{"strict":null,"x":1},"timestamp":"t"})", "expected value at line 1 column 29"),
  };
  for (const auto& [receipt, message] : cases) EXPECT_EQ(failure_of(receipt), "JSON deserialization failed: " + message) << receipt;
}

TEST(ReceiptFromJson, NestingOf127LevelsIsReadAndA128thIsNot) {
  const std::string base = kHead + kRid + R"(,"version":"v","dom":"d","cod":"c",)" + kCtx + R"(,"hash":"h","attest":)";
  auto nested = [&](int levels) {  // the receipt object is the first level
    return base + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
  };
  EXPECT_EQ(from_json(nested(127)).attest.has_value(), true);
  EXPECT_EQ(failure_of(nested(128)), "JSON deserialization failed: recursion limit exceeded at line 1 column " +
                                         std::to_string(base.size() + 127));
}

// The forms the reader accepts are held against a model of the reader in the
// Python property tests; here only those it does not generate.
TEST(ContextForms, ArrayAndTaggedObjectFormsAreRead) {
  const auto array_form = from_json(receipt_text("data_shape", R"({"schema_hash":"s"})", R"(["pol:a/b@1.0.0","t",null,"bounded",null])"));
  EXPECT_EQ(array_form.ctx.policy_ref, "pol:a/b@1.0.0");
  EXPECT_EQ(array_form.ctx.determinism, DeterminismClass::Bounded);
  const auto tagged = from_json(receipt_text("data_shape", R"({"schema_hash":"s"})", R"({"timestamp":"t","determinism":{"strict":null}})"));
  EXPECT_EQ(tagged.ctx.determinism, DeterminismClass::Strict);
}

TEST(PayloadForms, F32FieldsTakeTheNearestSingleAndOverflowToInfinity) {
  const std::vector<std::pair<std::string, float>> cases = {
      {"0.1", 0.1f}, {"1", 1.0f},
      // 2^60 + 2^36 + 1 lies just above the midpoint of two singles; through a
      // double it would land on the midpoint and round down to even.
      {"1152921573326323713", 0x1.000002p60f},
      // 2^128 - 2^103 is halfway between the largest single and 2^128: ties go to infinity.
      {"3.4028235677973366e38", std::numeric_limits<float>::infinity()}, {"3.4028235677973362e38", std::numeric_limits<float>::max()}};
  for (const auto& [text, expected] : cases) {
    const auto r = from_json(
        receipt_text("reasoning_shape", R"({"intent_hash":"i","dag_hash":"d","node_refs":[],"quality":{"success_score":)" + text + "}}"));
    EXPECT_EQ(std::get<ReasoningShapePayload>(r.payload).quality->success_score, expected) << text;
  }
}

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
  if (value.is_array()) for (const auto& element : value.as_array()) each_node(element, f);
  if (value.is_object()) for (const auto& [key, member] : value.as_object()) each_node(member, f);
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
