// Record metadata. Each kind's wire, display and record
// names are held by the adapter's messages and the Python getters.
#include <gtest/gtest.h>

#include <string>

#include "receipts/receipt.hpp"

namespace tessary::receipts {
namespace {

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
