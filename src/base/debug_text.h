// Texts as a debug dump shows them, for messages that quote what they found ("string
// \"a\\tb\"", "unexpected string \"x\"") without ever carrying a raw control byte.
#pragma once

#include <string>
#include <string_view>

namespace osmira_base {

// Appends `text` in double quotes: a backslash before '"' and before the backslash itself,
// short escapes for tab, carriage return, line feed and NUL, and a braced hexadecimal code
// (backslash, 'u', "{1f}") for the other ASCII control characters and DEL. Every other byte
// is copied unchanged.
void append_debug_string(std::string& out, std::string_view text);

}  // namespace osmira_base
