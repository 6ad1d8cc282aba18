// How a plain YAML scalar is typed: null, boolean, integer, floating-point number or text,
// tested in that order. Shared by the document-tree builder and the typed spec reader, so
// both classify "012", "0x1F", ".inf" or "1e999" alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace osmira_base::yaml {

struct PlainScalar {
  enum class Kind {
    kNull,     // "", "~", "null", "Null", "NULL"
    kBool,     // "true", "True", "TRUE", "false", "False", "FALSE"
    kUInt,     // a non-negative integer that fits in 64 bits ("-0" included)
    kInt,      // a negative integer that fits in 64 bits
    kBigUInt,  // a non-negative integer beyond 64 bits that fits in 128 bits
    kBigInt,   // a negative integer beyond 64 bits that fits in 128 bits
    kFloat,    // any other number: finite, or one of the ".inf"/".nan" words
    kString,   // everything else
  };
  Kind kind = Kind::kString;
  bool boolean = false;
  uint64_t uint = 0;
  int64_t sint = 0;
  unsigned __int128 big_uint = 0;
  __int128 big_int = 0;
  double number = 0.0;
};

PlainScalar classify_plain_scalar(std::string_view text);

// The null words ("" included) and the boolean words of the list above, on their own: a
// tagged or quoted scalar is tested against the same words.
bool is_null_text(std::string_view text);
std::optional<bool> bool_text(std::string_view text);

}  // namespace osmira_base::yaml
