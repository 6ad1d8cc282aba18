// Spec text to document tree, for the spec tooling.
#pragma once

#include <string_view>

#include "base/result.h"
#include "base/value.h"
#include "base/yaml_tree.h"

namespace vintrel_core::parser {

// Parses one YAML document into a document tree. Errors carry the YAML loader's message.
// Infinite and NaN floats become null unless `non_finite` keeps them (validation does, so
// that its range checks see them).
osmira_base::Result<osmira_base::Value> parse_yaml(
    std::string_view text,
    osmira_base::yaml::NonFinite non_finite = osmira_base::yaml::NonFinite::kNull);

}  // namespace vintrel_core::parser
