// Spec text to document tree, for the spec tooling.
#pragma once

#include <string_view>

#include "base/result.h"
#include "base/value.h"

namespace vintrel_core::parser {

// Parses one YAML document into a document tree. Errors carry the YAML loader's message.
osmira_base::Result<osmira_base::Value> parse_yaml(std::string_view text);

}  // namespace vintrel_core::parser
