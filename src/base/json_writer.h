// Compact JSON text of a document tree: no whitespace, keys in ascending byte order,
// integers in decimal, floats by append_json_float, non-finite floats as null.
#pragma once

#include <string>
#include <string_view>

#include "base/value.h"

namespace osmira_base {

// Appends `text` as a JSON string (quotes included): short escapes for " \ \b \t \n \f \r,
// \u00XX (lowercase hex) for other control characters, everything else unchanged.
void append_json_string(std::string& out, std::string_view text);

void append_compact_json(std::string& out, const Value& value);
std::string compact_json(const Value& value);

}  // namespace osmira_base
