#include "tooling/commands/tree_helpers.h"

namespace vintrel_core::commands {

using osmira_base::Value;

const Value::Array* array_of(const Value* node) {
  return node != nullptr && node->is_array() ? &node->as_array() : nullptr;
}

Value string_array(const std::vector<std::string>& items) {
  Value out = Value::array();
  for (const std::string& s : items) out.push(s);
  return out;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += separator;
    out += parts[i];
  }
  return out;
}

}  // namespace vintrel_core::commands
