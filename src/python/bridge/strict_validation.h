// Strict validation: the ordinary validation messages of the spec tooling, followed by at
// most one coded message (VTL-E1xx / VTL-E2xx) when the text cannot be read as a typed
// IdentitySpec. The coded message is chosen by the kind of the reader's failure and built from
// the offending text the reader attaches (the unknown value, the missing key, the expected
// variants); the reader's message is quoted whole only where the code carries it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace vintrel_bridge {

// Levenshtein distance between two UTF-8 texts taken as sequences of code points, with unit
// costs for insertion, deletion and substitution.
size_t edit_distance(std::string_view a, std::string_view b);

// The one coded message for a failure of the typed reading: by its kind, subject and detail,
// with " (line L)" from its location when it has one.
std::string coded_message(const osmira_base::Error& error);

// The body of the Python function `validate_strict`: the messages of
// vintrel_core::validate_yaml (whose failure, for text that is not YAML, is returned as
// is), with the coded message of a failed typed reading appended.
osmira_base::Result<std::vector<std::string>> validate_strict(std::string_view yaml);

}  // namespace vintrel_bridge
