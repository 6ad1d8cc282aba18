#include "tooling/parser.h"

#include <optional>

#include "base/yaml_events.h"
#include "base/yaml_tree.h"

namespace vintrel_core::parser {

using osmira_base::Error;
using osmira_base::Result;
using osmira_base::Value;

Result<Value> parse_yaml(std::string_view text, osmira_base::yaml::NonFinite non_finite) {
  // Nesting beyond the tree's limit fails anyway; the loader stops collecting there.
  osmira_base::yaml::Loader loader(text, osmira_base::yaml::kMaxNestingDepth);
  std::optional<osmira_base::yaml::Document> doc = loader.next_document();
  // The loader always yields a first document; a stream without one holds a kVoid event,
  // which compose_tree rejects with "EOF while parsing a value".
  if (!doc) return Error("EOF while parsing a value");
  // A failure met while composing the events read before a parser error wins over it.
  Result<Value> tree = osmira_base::yaml::compose_tree(*doc, non_finite);
  if (!tree.ok()) return tree;
  if (doc->error) return Error(doc->error->message);
  if (loader.next_document()) {
    return Error("deserializing from YAML containing more than one document is not supported");
  }
  return tree;
}

}  // namespace vintrel_core::parser
