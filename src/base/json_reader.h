// A pull reader for JSON text that typed readers drive token by token, so that records are
// filled straight from the text without an intermediate tree (entity records, trained
// Fellegi–Sunter parameters, cluster lists). `read_value` builds a document tree for the few
// fields that hold "any JSON value".
//
// Messages and positions follow one fixed convention, which callers rely on and which tests
// pin down:
//
//   * Every error message ends in " at line L column C". L counts lines from 1. C is the
//     number of bytes of line L that have been read: the column of the last byte read, or 0
//     when no byte of that line has been read yet (right after a line feed).
//   * `error_here` positions at the bytes consumed so far. `error_at_peek` also counts the
//     next byte, the one that was looked at and found wrong (at the end of the text it counts
//     nothing more). Syntax faults use the second form: "expected `,` or `]` at line 1
//     column 3" for "[1x" names the 'x'.
//   * A value of the wrong kind ("invalid type: ..., expected ...") is positioned after the
//     scalar that was found (the scalar is consumed to be described), or at the byte before
//     an opening '[' or '{', which is not consumed.
//   * A failure that a typed reader raises for a whole record while it stands inside the
//     record's object or array (missing field, duplicate field, invalid length) is built
//     with `error_in_object` / `error_in_array`, which first step over white space and a
//     closing bracket that follows, the way the container would have been closed:
//     "missing field `fields` at line 1 column 2" for "{}".
//
// Limits: arrays and objects nest at most 127 deep; opening the 128th level fails with
// "recursion limit exceeded" (skipped values count too, and skipping uses no recursion).
// Strings must be valid UTF-8 ("invalid unicode code point", positioned after the closing
// quote); strings that are only skipped are not checked for UTF-8.
//
// Numbers: integers are read as u64, negative ones as i64, and anything else (a fraction,
// an exponent, "-0", an integer beyond the 64-bit ranges) as a correctly rounded f64. A
// value too large for an f64 fails with "number out of range"; one too small reads as
// zero of the same sign.
//
// Lifetime: the reader borrows the text, which must outlive it. A string_view returned by
// the reader (`read_string`, `next_key`, `read_variant_name`) stays valid only until the
// next call on the reader. A Reader is not thread-safe; use one per text and thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/value.h"

namespace osmira_base::json {

// What stands next in the text, as seen by `peek`.
enum class Kind {
  kNull,     // 'n'
  kBool,     // 't' or 'f'
  kNumber,   // '-' or a digit
  kString,   // '"'
  kArray,    // '['
  kObject,   // '{'
  kEnd,      // end of text
  kInvalid,  // any other byte: no value can start here
};

// A number as the text holds it.
struct Number {
  enum class Type { kU64, kI64, kF64 };
  Type type = Type::kU64;
  uint64_t u = 0;  // kU64
  int64_t i = 0;   // kI64 (always negative)
  double f = 0.0;  // kF64
};

// The two JSON forms of an enumeration value without data: "name" and {"name": null}.
enum class VariantForm { kString, kObject };

struct Position {
  size_t line = 1;
  size_t column = 0;
};

// " at line L column C".
std::string position_suffix(Position pos);

// How a found value is named in "invalid type: <found>, expected ..." messages:
// "null", "boolean `true`", "integer `5`", "floating point `1.5`", "string \"abc\"",
// "sequence", "map".
std::string describe_number(const Number& n);
std::string describe_string(std::string_view text);

class Reader {
 public:
  static constexpr int kMaxDepth = 128;

  explicit Reader(std::string_view text) : text_(text) {}
  // A reader of a run of elements cut out of an array of a larger text: `text` holds
  // elements (with the commas between them) of an array that stands at nesting `depth` (at
  // least 1) of the larger text, and no element of it has been read yet. Reading the run
  // with `has_next` and the element readers reads and checks exactly what the reader of the
  // whole text would read there (the depth limit included); positions count from the start
  // of `text`, so messages of this reader are not those of the whole text.
  Reader(std::string_view text, int depth)
      : text_(text), depth_(depth < 0 ? 0 : (depth < kMaxDepth ? depth : kMaxDepth - 1)) {
    first_[depth_] = true;
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // ---- Positions and errors ----------------------------------------------------------
  Position position() const { return position_of(pos_); }
  Position peek_position() const { return position_of(pos_ < text_.size() ? pos_ + 1 : pos_); }
  // Bytes consumed so far.
  size_t offset() const { return pos_; }
  Error error_here(std::string_view message) const;
  Error error_at_peek(std::string_view message) const;
  // A failure of the record whose object or array is being read (see the file comment).
  Error error_in_object(std::string_view message);
  Error error_in_array(std::string_view message);
  // "invalid type: <found>, expected <expected>" for the value that stands next, which is
  // consumed when it is a scalar; a syntax fault met while consuming it wins. At the end of
  // the text: "EOF while parsing a value"; at a byte that starts no value: "expected value".
  Error invalid_type(std::string_view expected);

  // ---- Looking ahead ------------------------------------------------------------------
  // Skips white space (and, after `next_key`, the ':' that follows the key) and tells what
  // comes next without consuming it. Fails only on a missing ':' ("expected `:`", or
  // "EOF while parsing an object").
  Result<Kind> peek();

  // ---- Scalars -------------------------------------------------------------------------
  // Each skips white space (and a pending ':') first. A value of another kind fails with
  // invalid_type(expected).
  Result<std::string_view> read_string(std::string_view expected = "a string");
  // Copies into `out` (replacing its contents).
  Status read_string_into(std::string& out, std::string_view expected = "a string");
  Result<double> read_f64(std::string_view expected = "f64");  // integers are converted
  // A negative integer fails with "invalid value: integer `-5`, expected <expected>".
  Result<uint64_t> read_u64(std::string_view expected = "u64");
  // An integer above the i64 range fails with "invalid value: integer `<n>`, expected ...".
  Result<int64_t> read_i64(std::string_view expected = "i64");
  Result<bool> read_bool(std::string_view expected = "a boolean");
  Result<Number> read_number(std::string_view expected = "a number");
  // When the next value is null ('n'), consumes "null" and returns true ("expected ident"
  // or "EOF while parsing a value" when it is not quite null); otherwise consumes nothing
  // and returns false. The reading of optional values: null means absent.
  Result<bool> read_null_if_present();

  // ---- Objects -------------------------------------------------------------------------
  // Consumes the '{' that `peek` reported (kObject), entering one level of nesting.
  Status begin_object();
  // Reads the next key and returns true, or returns false when the closing '}' is next (it
  // is left for `end_object`). Handles the ',' between members: "expected `,` or `}`",
  // "trailing comma", "key must be a string", "EOF while parsing an object". The ':' after
  // the key is consumed by the next value read, so that a failure raised right after the
  // key (a duplicate field) points at the key's closing quote.
  Result<bool> next_key(std::string_view* key);
  // Consumes the closing '}' and leaves the level.
  Status end_object();

  // ---- Arrays --------------------------------------------------------------------------
  // Consumes the '[' that `peek` reported (kArray), entering one level of nesting.
  Status begin_array();
  // True when another element follows (the ',' before it is consumed), false when the
  // closing ']' is next. "expected `,` or `]`", "trailing comma", "EOF while parsing a
  // list", "EOF while parsing a value".
  Result<bool> has_next();
  // Consumes the closing ']' and leaves the level. An element where ']' should stand
  // fails with "trailing characters" ("trailing comma" for a comma and then ']').
  Status end_array();

  // ---- Whole values ---------------------------------------------------------------------
  // Steps over the next value of any kind, checking its syntax, without building anything.
  // Its checks are lighter than a read's and a few messages differ: a comma before ']' gives
  // "expected value" and before '}' "key must be a string" (not "trailing comma"); a control
  // character in a string is positioned before that byte; "-" and "1." give "invalid
  // number"; strings are not checked for UTF-8, surrogate pairs or number range.
  Status skip_value();
  // Reads the next value of any kind into a document tree (a repeated object key keeps
  // the last value).
  Status read_value(Value& out);

  // ---- Enumerations without data ---------------------------------------------------------
  // Reads the variant name of "name" or of {"name": null}; in the object form the '{' is
  // consumed and the name read. A failure for an unknown name belongs right after the name
  // (`error_here`). Then `finish_variant` completes the value. Any other value fails with
  // "expected value" (at the byte), the end of the text with "EOF while parsing a value".
  Result<std::string_view> read_variant_name(VariantForm* form);
  Status finish_variant(VariantForm form);

  // ---- End of the text -------------------------------------------------------------------
  // Only white space may follow the value: "trailing characters" otherwise.
  Status end();

 private:
  Position position_of(size_t index) const;
  // Skips white space; returns the next byte or -1 at the end of the text.
  int skip_ws();
  Status consume_pending_colon();
  Status parse_colon();
  Status enter_level();  // depth check for the container whose opening byte is next
  Status parse_ident(std::string_view rest);
  // A number whose '-' (when `negative`) has been consumed; the next byte is its first digit.
  Status parse_number(bool negative, Number* out);
  Status parse_float_text(size_t start, bool negative, Number* out);
  Status skip_number();
  // The string whose opening quote has been consumed; the result may point into the text
  // or into scratch_.
  Result<std::string_view> parse_string();
  Status skip_string();
  Status parse_escape();
  Status skip_escape();
  Result<uint16_t> decode_hex4();
  Status read_value_at(Value& out);

  std::string_view text_;
  size_t pos_ = 0;
  int depth_ = 0;
  bool colon_pending_ = false;
  // One flag per open container: no element or member has been read from it yet.
  bool first_[kMaxDepth + 1] = {};
  std::string scratch_;
};

}  // namespace osmira_base::json
