// Conversion of results to Python objects: document trees (every dict result), message
// lists and texts. Runs with the interpreter lock held.
#pragma once

#include "python/py_ref.h"

#include <string>
#include <string_view>
#include <vector>

#include "base/value.h"

namespace vintrel_native {

// A new Python object for a document tree: None, bool, int, float, str, list, or dict whose
// keys iterate in the tree's (ascending byte) order. Every integer becomes an exact int,
// including unsigned values from 2^63 to 2^64 - 1. Empty with the host's exception set on
// failure; everything built so far is released.
PyRef json_value_to_py(const osmira_base::Value& value);

// A list of str, in order.
PyRef string_list_to_py(const std::vector<std::string>& items);

// A str from UTF-8 text (strict: invalid UTF-8 raises the host's UnicodeDecodeError).
PyRef text_to_py(std::string_view text);

}  // namespace vintrel_native
