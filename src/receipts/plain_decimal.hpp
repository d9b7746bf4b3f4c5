#pragma once
// A double as plain decimal text for messages: the fewest significant digits
// that read back as the same double, never an exponent, no fractional part
// when the value is integral (3 -> "3", 0.1 -> "0.1", 1e21 ->
// "1000000000000000000000", 1e-7 -> "0.0000001"). Non-finite values read
// "inf", "-inf" and "NaN".
#include <string>

namespace tessary::receipts {

std::string plain_decimal(double value);

}  // namespace tessary::receipts
