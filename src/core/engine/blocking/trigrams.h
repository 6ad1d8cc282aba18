// Runs of three consecutive characters of a UTF-8 text: the trigram block keys and the LSH
// shingles both cut a text this way.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/unicode.h"

namespace osmira_core::engine::blocking {

// Byte length of the code point at `pos` (1 for an ill-formed byte, which counts as one
// character).
inline size_t char_length(std::string_view s, size_t pos) {
  size_t next = pos;
  osmira_base::unicode::decode_utf8(s, next);
  return next - pos;
}

// Calls `visit(window)` for every run of three consecutive characters of `text`, in order,
// until `visit` returns false; a text of fewer than three characters is one window, visited
// once whatever `visit` returns. The windows are views into `text`.
template <typename Visit>
void for_each_trigram(std::string_view text, Visit&& visit) {
  // Byte offsets of the first three characters' starts, slid along the text.
  size_t starts[3];
  size_t pos = 0;
  size_t chars = 0;
  for (; chars < 3 && pos < text.size(); ++chars) {
    starts[chars] = pos;
    pos += char_length(text, pos);
  }
  if (chars < 3) {
    visit(text);
    return;
  }
  // `pos` is the end of the current window.
  while (visit(text.substr(starts[0], pos - starts[0])) && pos < text.size()) {
    starts[0] = starts[1];
    starts[1] = starts[2];
    starts[2] = pos;
    pos += char_length(text, pos);
  }
}

}  // namespace osmira_core::engine::blocking
