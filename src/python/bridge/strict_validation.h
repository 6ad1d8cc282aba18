// Strict validation: the ordinary validation messages of the spec tooling, followed by at
// most one coded message (VTL-E1xx / VTL-E2xx) when the text cannot be read as a typed
// IdentitySpec. The coded message is derived from the reader's message text alone, so the
// classifier is usable (and tested) on any message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace vintrel_bridge {

// Levenshtein distance between two UTF-8 texts taken as sequences of code points, with unit
// costs for insertion, deletion and substitution.
size_t edit_distance(std::string_view a, std::string_view b);

// The one coded message for a typed-reading failure with message `message` and, when the
// failure has a position, its line (counted from 1).
std::string coded_message(std::string_view message, std::optional<uint64_t> line);

// The body of the Python function `validate_strict`: the messages of
// vintrel_core::validate_yaml (whose failure, for text that is not YAML, is returned as
// is), with the coded message of a failed typed reading appended.
osmira_base::Result<std::vector<std::string>> validate_strict(std::string_view yaml);

}  // namespace vintrel_bridge
