// Kinds, determinism classes, error texts and record metadata.
#include <gtest/gtest.h>

#include <string>

#include "receipts/receipt.hpp"

namespace tessary::receipts {
namespace {

// Display names reach Python through the receipt handle's getters, and the
// record names reach the decoder's messages; here that each kind's three
// names belong together and its wire string reads back.
TEST(ReceiptModel, KindsRoundTripThroughTheirWireStrings) {
  const char* names[][3] = {{"data_shape", "DataShape", "DataShapePayload"},
                            {"method_shape", "MethodShape", "MethodShapePayload"},
                            {"reasoning_shape", "ReasoningShape", "ReasoningShapePayload"},
                            {"execution", "Execution", "ExecutionPayload"},
                            {"spend", "Spend", "SpendPayload"},
                            {"settlement", "Settlement", "SettlementPayload"}};
  for (std::size_t i = 0; i < kAllReceiptKinds.size(); ++i) {
    const ReceiptKind kind = kAllReceiptKinds[i];
    EXPECT_EQ(parse_receipt_kind(names[i][0]), kind);
    EXPECT_EQ(wire_string(kind), names[i][0]);
    EXPECT_EQ(display_name(kind), names[i][1]);
    EXPECT_EQ(payload_record_name(kind), names[i][2]);
  }
  for (const char* bad : {"execution ", "", "data-shape"}) EXPECT_FALSE(parse_receipt_kind(bad)) << bad;
  EXPECT_EQ(parse_determinism("observational"), DeterminismClass::Observational);
  EXPECT_EQ(wire_string(DeterminismClass::Bounded), "bounded");
  EXPECT_EQ(payload_kind(Payload{SettlementPayload{}}), ReceiptKind::Settlement);
}

// The other variants' texts are held by the validation tests.
TEST(ReceiptModel, ErrorDisplayTexts) {
  using V = ValidationError;
  EXPECT_EQ((V{V::SchemaViolation{"m"}}).to_string(), "Schema violation: m");
  EXPECT_EQ((V{V::MissingField{"rid"}}).to_string(), "Missing required field: rid");
}

// The array-form length message quotes `expectation`; it must name the record
// and its real field count.
template <class Record>
void expect_consistent(const char* name) {
  EXPECT_EQ(Record::expectation, "struct " + std::string(name) + " with " + std::to_string(Record::fields.size()) + " elements");
}

#define CONSISTENT(Record) expect_consistent<Record>(#Record)
TEST(ReceiptModel, ExpectationTextsMatchFieldTables) {
  CONSISTENT(DataShapePayload), CONSISTENT(MethodShapePayload), CONSISTENT(MethodNodeRef), CONSISTENT(Edge);
  CONSISTENT(ReasoningShapePayload), CONSISTENT(ReasoningNodeRef), CONSISTENT(ReasoningQuality);
  CONSISTENT(ExecutionPayload), CONSISTENT(MethodRef), CONSISTENT(ExecutionRoots), CONSISTENT(CdfMetadata);
  CONSISTENT(EncryptedLocatorRef), CONSISTENT(SpendPayload), CONSISTENT(ResourceVector), CONSISTENT(SpendPointers);
  CONSISTENT(ReuseJustification), CONSISTENT(SettlementPayload), CONSISTENT(Context);
}
#undef CONSISTENT

}  // namespace
}  // namespace tessary::receipts
