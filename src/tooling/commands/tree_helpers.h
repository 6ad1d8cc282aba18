// Small helpers that the plan and diff commands share for reading loosely shaped document
// trees and for writing their results.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/value.h"

namespace vintrel_core::commands {

// The node's items when it is present and an array, else nullptr.
const osmira_base::Value::Array* array_of(const osmira_base::Value* node);

// The texts as an array of strings.
osmira_base::Value string_array(const std::vector<std::string>& items);

// The parts with `separator` between each two.
std::string join(const std::vector<std::string>& parts, std::string_view separator);

}  // namespace vintrel_core::commands
