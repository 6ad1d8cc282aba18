// Lenient, positional checks of a spec parsed as a document tree: plain-English messages,
// every problem reported, never an error for the document's content.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/value.h"

namespace vintrel_core {

namespace validator {
std::vector<std::string> validate_schema(const osmira_base::Value& doc);
std::vector<std::string> validate_semantics(const osmira_base::Value& doc);
}  // namespace validator

// Parses `text`, then returns the schema messages followed by the semantic messages.
osmira_base::Result<std::vector<std::string>> validate_yaml(std::string_view text);

// "sha256:" followed by the 64 lowercase hex digits of SHA-256 over the tree's compact JSON.
std::string document_hash(const osmira_base::Value& doc);

}  // namespace vintrel_core
