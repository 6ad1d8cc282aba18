// Number texts shared by every writer and message of the system.
#pragma once

#include <string>

namespace osmira_base {

// Shortest round-trip digits, laid out as the compact JSON writer wants them: fixed
// notation for decimal exponents -5..15 (integral values end in ".0"), otherwise
// "d.ddde+N" / "d.ddde-N". Non-finite values have no JSON text; callers decide (null).
void append_json_float(std::string& out, double value);
std::string json_float(double value);

// Plain decimal with the fewest digits that read back to the same value, never in exponent
// form, no fractional part when integral ("2", "0.85", "0.0000001", "-0"). Non-finite
// values are written "inf", "-inf" and "NaN".
void append_plain_number(std::string& out, double value);
std::string plain_number(double value);

// `decimals` digits after the point, correctly rounded ("0.85" with 2 -> "0.85");
// non-finite values as "inf", "-inf" and "NaN".
std::string fixed_number(double value, int decimals);

}  // namespace osmira_base
