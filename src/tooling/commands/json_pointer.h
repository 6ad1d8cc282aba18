// JSON Pointer lookup (RFC 6901) on a document tree.
#pragma once

#include <string_view>

#include "base/value.h"

namespace vintrel_core::commands {

// The node that `pointer` names inside `root`, or nullptr when it names nothing.
// "" names the root itself; otherwise the pointer is a sequence of "/"-prefixed reference
// tokens in which "~1" stands for "/" and "~0" for "~". A token selects an object member by
// its exact key, or an array element by a decimal index without sign or leading zeros
// ("-", the element past the end, names nothing). A malformed pointer (no leading "/", a
// "~" not followed by "0" or "1") names nothing. The returned pointer lives as long as
// `root` is not modified.
const osmira_base::Value* json_pointer(const osmira_base::Value& root, std::string_view pointer);

}  // namespace vintrel_core::commands
