// Python bodies of the tooling functions: each reads the spec text through vintrel_core and
// converts the result; every failure of the operation is a ValueError carrying its message.
#include <string>
#include <vector>

#include "base/result.h"
#include "base/value.h"
#include "python/boundary.h"
#include "python/convert.h"
#include "python/functions.h"
#include "tooling/parser.h"
#include "tooling/validator.h"

namespace vintrel_native {
namespace {

using osmira_base::Result;
using osmira_base::Value;

// Parses the text, then converts what `check` makes of the tree into a list of str.
template <typename Check>
PyRef messages_of_tree(std::string_view text, Check check) {
  Result<Value> tree = vintrel_core::parser::parse_yaml(text);
  if (!tree.ok()) return raise(tree.error());
  return string_list_to_py(check(*tree));
}

}  // namespace

PyRef validate_body(const Arguments& args) {
  Result<std::vector<std::string>> messages = vintrel_core::validate_yaml(args.text(0));
  if (!messages.ok()) return raise(messages.error());
  return string_list_to_py(*messages);
}

PyRef validate_schema_body(const Arguments& args) {
  return messages_of_tree(args.text(0), vintrel_core::validator::validate_schema);
}

PyRef validate_semantics_body(const Arguments& args) {
  return messages_of_tree(args.text(0), vintrel_core::validator::validate_semantics);
}

PyRef parse_body(const Arguments& args) {
  Result<Value> tree = vintrel_core::parser::parse_yaml(args.text(0));
  if (!tree.ok()) return raise(tree.error());
  return json_value_to_py(*tree);
}

// The document hash of the spec as parsed: key order, layout and comments of the text do
// not enter it; value types do (1 and 1.0 differ).
PyRef hash_body(const Arguments& args) {
  Result<Value> tree = vintrel_core::parser::parse_yaml(args.text(0));
  if (!tree.ok()) return raise(tree.error());
  return text_to_py(vintrel_core::document_hash(*tree));
}

}  // namespace vintrel_native
