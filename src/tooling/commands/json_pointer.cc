#include "tooling/commands/json_pointer.h"

#include <cstddef>
#include <optional>
#include <string>

namespace vintrel_core::commands {
namespace {

using osmira_base::Value;

// Undoes the "~1" and "~0" escapes of one reference token; nothing for a stray "~".
std::optional<std::string> unescape_token(std::string_view token) {
  std::string out;
  out.reserve(token.size());
  for (size_t i = 0; i < token.size(); ++i) {
    if (token[i] != '~') {
      out += token[i];
      continue;
    }
    if (i + 1 >= token.size()) return std::nullopt;
    const char next = token[++i];
    if (next == '0') out += '~';
    else if (next == '1') out += '/';
    else return std::nullopt;
  }
  return out;
}

// An array index token: "0" or digits without a leading zero, within size_t.
std::optional<size_t> parse_index(std::string_view token) {
  if (token.empty() || (token.size() > 1 && token[0] == '0')) return std::nullopt;
  size_t index = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return std::nullopt;
    const size_t digit = static_cast<size_t>(c - '0');
    if (index > (SIZE_MAX - digit) / 10) return std::nullopt;
    index = index * 10 + digit;
  }
  return index;
}

}  // namespace

const Value* json_pointer(const Value& root, std::string_view pointer) {
  if (pointer.empty()) return &root;
  if (pointer.front() != '/') return nullptr;
  const Value* node = &root;
  size_t pos = 1;
  while (true) {
    const size_t end = pointer.find('/', pos);
    const std::string_view raw =
        pointer.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    const std::optional<std::string> token = unescape_token(raw);
    if (!token) return nullptr;
    if (node->is_object()) {
      node = node->get(*token);
    } else if (node->is_array()) {
      const std::optional<size_t> index = parse_index(*token);
      if (!index || *index >= node->as_array().size()) return nullptr;
      node = &node->as_array()[*index];
    } else {
      return nullptr;
    }
    if (node == nullptr) return nullptr;
    if (end == std::string_view::npos) return node;
    pos = end + 1;
  }
}

}  // namespace vintrel_core::commands
