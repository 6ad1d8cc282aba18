#include "base/json_reader.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "base/debug_text.h"
#include "base/number_text.h"
#include "base/unicode.h"

namespace osmira_base::json {
namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kExpectedValue = "expected value";
constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kKeyMustBeString = "key must be a string";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kNumberOutOfRange = "number out of range";
constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
constexpr std::string_view kTrailingCharacters = "trailing characters";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kRecursionLimit = "recursion limit exceeded";

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the well-formed UTF-8 sequence starting at p[0] (a byte >= 0x80), or 0 when the
// bytes there are not one (overlong forms, surrogates and code points above U+10FFFF
// included).
size_t utf8_sequence_length(const unsigned char* p, const unsigned char* end) {
  const unsigned char b0 = p[0];
  auto cont = [&](size_t i, unsigned char lo, unsigned char hi) {
    return p + i < end && p[i] >= lo && p[i] <= hi;
  };
  if (b0 >= 0xC2 && b0 <= 0xDF) return cont(1, 0x80, 0xBF) ? 2 : 0;
  if (b0 == 0xE0) return cont(1, 0xA0, 0xBF) && cont(2, 0x80, 0xBF) ? 3 : 0;
  if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) {
    return cont(1, 0x80, 0xBF) && cont(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (b0 == 0xED) return cont(1, 0x80, 0x9F) && cont(2, 0x80, 0xBF) ? 3 : 0;
  if (b0 == 0xF0) return cont(1, 0x90, 0xBF) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
  if (b0 >= 0xF1 && b0 <= 0xF3) {
    return cont(1, 0x80, 0xBF) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
  }
  if (b0 == 0xF4) return cont(1, 0x80, 0x8F) && cont(2, 0x80, 0xBF) && cont(3, 0x80, 0xBF) ? 4 : 0;
  return 0;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Non-zero when any of the 8 bytes in `v` is '"', '\\', below 0x20 or at least 0x80: the
// bytes a string scan has to stop at. (Exact as a yes/no answer; which bit is set is not.)
inline uint64_t string_special_bytes(uint64_t v) {
  const uint64_t quote = v ^ (kOnes * '"');
  const uint64_t backslash = v ^ (kOnes * '\\');
  const uint64_t has_quote = (quote - kOnes) & ~quote;
  const uint64_t has_backslash = (backslash - kOnes) & ~backslash;
  const uint64_t has_control = (v - kOnes * 0x20) & ~v;
  return (has_quote | has_backslash | has_control | v) & kHighs;
}

}  // namespace

std::string position_suffix(Position pos) {
  std::string s = " at line ";
  s += std::to_string(pos.line);
  s += " column ";
  s += std::to_string(pos.column);
  return s;
}

std::string describe_number(const Number& n) {
  std::string s;
  switch (n.type) {
    case Number::Type::kU64:
      s = "integer `" + std::to_string(n.u) + "`";
      break;
    case Number::Type::kI64:
      s = "integer `" + std::to_string(n.i) + "`";
      break;
    case Number::Type::kF64: {
      s = "floating point `";
      std::string digits = plain_number(n.f);
      const bool has_point = digits.find('.') != std::string::npos;
      s += digits;
      if (std::isfinite(n.f) && !has_point) s += ".0";
      s += '`';
      break;
    }
  }
  return s;
}

std::string describe_string(std::string_view text) {
  std::string s = "string ";
  append_debug_string(s, text);
  return s;
}

// ---- Positions and errors --------------------------------------------------------------

Position Reader::position_of(size_t index) const {
  const std::string_view before = text_.substr(0, index);
  const size_t last_newline = before.rfind('\n');
  const size_t start_of_line = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  Position p;
  p.line = 1;
  for (size_t i = 0; i < start_of_line; ++i) {
    if (before[i] == '\n') ++p.line;
  }
  p.column = index - start_of_line;
  return p;
}

Error Reader::error_here(std::string_view message) const {
  std::string m(message);
  m += position_suffix(position());
  return Error(std::move(m));
}

Error Reader::error_at_peek(std::string_view message) const {
  std::string m(message);
  m += position_suffix(peek_position());
  return Error(std::move(m));
}

Error Reader::error_in_object(std::string_view message) {
  if (skip_ws() == '}') {
    ++pos_;
    --depth_;
  }
  return error_here(message);
}

Error Reader::error_in_array(std::string_view message) {
  const int c = skip_ws();
  if (c == ']') {
    ++pos_;
    --depth_;
  } else if (c == ',') {
    ++pos_;
    skip_ws();
  }
  return error_here(message);
}

Error Reader::invalid_type(std::string_view expected) {
  if (Status s = consume_pending_colon(); !s.ok()) return std::move(s).error();
  std::string found;
  switch (skip_ws()) {
    case -1:
      return error_at_peek(kEofValue);
    case 'n':
      ++pos_;
      if (Status s = parse_ident("ull"); !s.ok()) return std::move(s).error();
      found = "null";
      break;
    case 't':
      ++pos_;
      if (Status s = parse_ident("rue"); !s.ok()) return std::move(s).error();
      found = "boolean `true`";
      break;
    case 'f':
      ++pos_;
      if (Status s = parse_ident("alse"); !s.ok()) return std::move(s).error();
      found = "boolean `false`";
      break;
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      const bool negative = text_[pos_] == '-';
      if (negative) ++pos_;
      Number n;
      if (Status s = parse_number(negative, &n); !s.ok()) return std::move(s).error();
      found = describe_number(n);
      break;
    }
    case '"': {
      ++pos_;
      Result<std::string_view> s = parse_string();
      if (!s.ok()) return std::move(s).error();
      found = describe_string(*s);
      break;
    }
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    default:
      return error_at_peek(kExpectedValue);
  }
  std::string m = "invalid type: ";
  m += found;
  m += ", expected ";
  m += expected;
  return error_here(m);
}

// ---- Low-level scanning ---------------------------------------------------------------

int Reader::skip_ws() {
  const size_t n = text_.size();
  while (pos_ < n) {
    const char c = text_[pos_];
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
    ++pos_;
  }
  return -1;
}

Status Reader::parse_colon() {
  const int c = skip_ws();
  if (c == ':') {
    ++pos_;
    return ok_status();
  }
  if (c == -1) return error_at_peek(kEofObject);
  return error_at_peek(kExpectedColon);
}

Status Reader::consume_pending_colon() {
  if (!colon_pending_) return ok_status();
  colon_pending_ = false;
  return parse_colon();
}

Status Reader::enter_level() {
  if (depth_ + 1 >= kMaxDepth) return error_at_peek(kRecursionLimit);
  ++pos_;
  ++depth_;
  first_[depth_] = true;
  return ok_status();
}

Status Reader::parse_ident(std::string_view rest) {
  for (const char expected : rest) {
    if (pos_ == text_.size()) return error_here(kEofValue);
    if (text_[pos_++] != expected) return error_here(kExpectedIdent);
  }
  return ok_status();
}

// ---- Numbers -----------------------------------------------------------------------------

Status Reader::parse_number(bool negative, Number* out) {
  const size_t start = negative ? pos_ - 1 : pos_;
  const size_t n = text_.size();
  if (pos_ == n) return error_here(kEofValue);
  const unsigned char first = static_cast<unsigned char>(text_[pos_++]);
  uint64_t significand = 0;
  if (first == '0') {
    // Only one leading zero.
    if (pos_ < n && is_digit(text_[pos_])) return error_at_peek(kInvalidNumber);
  } else if (first >= '1' && first <= '9') {
    significand = first - '0';
    while (pos_ < n && is_digit(text_[pos_])) {
      const uint64_t digit = static_cast<uint64_t>(text_[pos_] - '0');
      if (significand > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
        // Beyond 64 bits: the rest of the number is read as a float.
        return parse_float_text(start, negative, out);
      }
      significand = significand * 10 + digit;
      ++pos_;
    }
  } else {
    return error_here(kInvalidNumber);
  }
  if (pos_ < n && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E')) {
    return parse_float_text(start, negative, out);
  }
  if (!negative) {
    out->type = Number::Type::kU64;
    out->u = significand;
  } else if (significand == 0) {
    // "-0" has no integer form.
    out->type = Number::Type::kF64;
    out->f = -0.0;
  } else if (significand <= (uint64_t{1} << 63)) {
    out->type = Number::Type::kI64;
    out->i = significand == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min()
                                                 : -static_cast<int64_t>(significand);
  } else {
    out->type = Number::Type::kF64;
    out->f = -static_cast<double>(significand);
  }
  return ok_status();
}

// Continues a number from wherever its integer digits stopped being read as u64 (inside
// the digits, at '.', or at the exponent), checks the rest of its syntax and converts the
// whole text with correct rounding.
Status Reader::parse_float_text(size_t start, bool negative, Number* out) {
  const size_t n = text_.size();
  const size_t digits_start = negative ? start + 1 : start;
  while (pos_ < n && is_digit(text_[pos_])) ++pos_;
  const size_t int_end = pos_;
  // Magnitude bookkeeping, used only to tell overflow from underflow.
  const bool int_nonzero = text_[digits_start] != '0';
  int64_t magnitude = int_nonzero ? static_cast<int64_t>(int_end - digits_start) - 1 : 0;
  bool any_nonzero = int_nonzero;
  if (pos_ < n && text_[pos_] == '.') {
    ++pos_;
    const size_t frac_start = pos_;
    while (pos_ < n && is_digit(text_[pos_])) {
      if (!any_nonzero && text_[pos_] != '0') {
        any_nonzero = true;
        magnitude = -static_cast<int64_t>(pos_ - frac_start) - 1;
      }
      ++pos_;
    }
    if (pos_ == frac_start) {
      return pos_ == n ? error_at_peek(kEofValue) : error_at_peek(kInvalidNumber);
    }
  }
  if (pos_ < n && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    ++pos_;
    bool positive_exp = true;
    if (pos_ < n && (text_[pos_] == '+' || text_[pos_] == '-')) {
      positive_exp = text_[pos_] == '+';
      ++pos_;
    }
    if (pos_ == n) return error_here(kEofValue);
    const char first = text_[pos_++];
    if (!is_digit(first)) return error_here(kInvalidNumber);
    int32_t exp = first - '0';
    while (pos_ < n && is_digit(text_[pos_])) {
      const int32_t digit = text_[pos_++] - '0';
      if (exp > (INT32_MAX - digit) / 10) {
        // An exponent beyond 32 bits: infinity is an error, anything else is zero.
        if (any_nonzero && positive_exp) return error_here(kNumberOutOfRange);
        while (pos_ < n && is_digit(text_[pos_])) ++pos_;
        out->type = Number::Type::kF64;
        out->f = negative ? -0.0 : 0.0;
        return ok_status();
      }
      exp = exp * 10 + digit;
    }
    magnitude += positive_exp ? exp : -static_cast<int64_t>(exp);
  }
  double value = 0.0;
  const char* first = text_.data() + start;
  const char* last = text_.data() + pos_;
  const std::from_chars_result r = std::from_chars(first, last, value, std::chars_format::general);
  out->type = Number::Type::kF64;
  if (r.ec == std::errc::result_out_of_range || (r.ec == std::errc() && std::isinf(value))) {
    if (any_nonzero && magnitude > 0) return error_here(kNumberOutOfRange);
    out->f = negative ? -0.0 : 0.0;  // too small: zero
    return ok_status();
  }
  if (r.ec != std::errc() || r.ptr != last) return error_here(kInvalidNumber);  // not reached
  out->f = value;
  return ok_status();
}

Status Reader::skip_number() {
  const size_t n = text_.size();
  const int first = pos_ < n ? static_cast<unsigned char>(text_[pos_++]) : 0;
  if (first == '0') {
    if (pos_ < n && is_digit(text_[pos_])) return error_at_peek(kInvalidNumber);
  } else if (first >= '1' && first <= '9') {
    while (pos_ < n && is_digit(text_[pos_])) ++pos_;
  } else {
    return error_here(kInvalidNumber);
  }
  if (pos_ < n && text_[pos_] == '.') {
    ++pos_;
    const size_t frac_start = pos_;
    while (pos_ < n && is_digit(text_[pos_])) ++pos_;
    if (pos_ == frac_start) return error_at_peek(kInvalidNumber);
  }
  if (pos_ < n && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    ++pos_;
    if (pos_ < n && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    const int c = pos_ < n ? static_cast<unsigned char>(text_[pos_++]) : 0;
    if (!is_digit(c)) return error_here(kInvalidNumber);
    while (pos_ < n && is_digit(text_[pos_])) ++pos_;
  }
  return ok_status();
}

// ---- Strings -----------------------------------------------------------------------------

Result<uint16_t> Reader::decode_hex4() {
  if (text_.size() - pos_ < 4) {
    pos_ = text_.size();
    return error_here(kEofString);
  }
  uint16_t v = 0;
  for (int i = 0; i < 4; ++i) {
    const int h = hex_value(static_cast<unsigned char>(text_[pos_++]));
    if (h < 0) return error_here(kInvalidEscape);  // the bad digit counts as read
    v = static_cast<uint16_t>((v << 4) | h);
  }
  return v;
}

Status Reader::parse_escape() {
  if (pos_ == text_.size()) return error_here(kEofString);
  const char c = text_[pos_++];
  switch (c) {
    case '"': scratch_ += '"'; return ok_status();
    case '\\': scratch_ += '\\'; return ok_status();
    case '/': scratch_ += '/'; return ok_status();
    case 'b': scratch_ += '\b'; return ok_status();
    case 'f': scratch_ += '\f'; return ok_status();
    case 'n': scratch_ += '\n'; return ok_status();
    case 'r': scratch_ += '\r'; return ok_status();
    case 't': scratch_ += '\t'; return ok_status();
    case 'u': break;
    default: return error_here(kInvalidEscape);
  }
  ASSIGN_OR_RETURN(const uint16_t n1, decode_hex4());
  if (n1 >= 0xDC00 && n1 <= 0xDFFF) return error_here(kLoneLeadingSurrogate);
  if (n1 < 0xD800 || n1 > 0xDBFF) {
    unicode::append_utf8(scratch_, n1);
    return ok_status();
  }
  // A leading surrogate must be followed by an escaped trailing one.
  if (pos_ == text_.size()) return error_here(kEofString);
  if (text_[pos_++] != '\\') return error_here(kUnexpectedEndOfHexEscape);
  if (pos_ == text_.size()) return error_here(kEofString);
  if (text_[pos_++] != 'u') return error_here(kUnexpectedEndOfHexEscape);
  ASSIGN_OR_RETURN(const uint16_t n2, decode_hex4());
  if (n2 < 0xDC00 || n2 > 0xDFFF) return error_here(kLoneLeadingSurrogate);
  const uint32_t cp = ((static_cast<uint32_t>(n1 - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000;
  unicode::append_utf8(scratch_, cp);
  return ok_status();
}

Result<std::string_view> Reader::parse_string() {
  const unsigned char* const data = reinterpret_cast<const unsigned char*>(text_.data());
  const unsigned char* const end = data + text_.size();
  size_t start = pos_;  // first byte not yet copied to scratch_
  bool copied = false;
  bool bad_utf8 = false;
  while (true) {
    // Fast scan, eight bytes at a time, to the next byte that needs a look.
    const unsigned char* p = data + pos_;
    while (end - p >= 8) {
      uint64_t v;
      std::memcpy(&v, p, 8);
      if (string_special_bytes(v) != 0) break;
      p += 8;
    }
    while (p < end) {
      const unsigned char c = *p;
      if (c == '"' || c == '\\' || c < 0x20) break;
      if (c < 0x80) {
        ++p;
        continue;
      }
      const size_t len = utf8_sequence_length(p, end);
      if (len == 0) {
        // Reported once the string is complete, as a fault of its text.
        bad_utf8 = true;
        ++p;
      } else {
        p += len;
      }
    }
    pos_ = static_cast<size_t>(p - data);
    if (p == end) return error_here(kEofString);
    const unsigned char c = *p;
    if (c == '"') {
      std::string_view result;
      if (!copied) {
        result = text_.substr(start, pos_ - start);
      } else {
        scratch_.append(text_.data() + start, pos_ - start);
        result = scratch_;
      }
      ++pos_;
      if (bad_utf8) return error_here(kInvalidCodePoint);
      return result;
    }
    if (c == '\\') {
      if (!copied) {
        scratch_.clear();
        copied = true;
      }
      scratch_.append(text_.data() + start, pos_ - start);
      ++pos_;
      RETURN_IF_ERROR(parse_escape());
      start = pos_;
      continue;
    }
    ++pos_;  // the control character counts as read
    return error_here(kControlCharacter);
  }
}

Status Reader::skip_escape() {
  if (pos_ == text_.size()) return error_here(kEofString);
  switch (text_[pos_++]) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
      return ok_status();
    case 'u': {
      Result<uint16_t> r = decode_hex4();  // any code unit will do when skipping
      if (!r.ok()) return std::move(r).error();
      return ok_status();
    }
    default:
      return error_here(kInvalidEscape);
  }
}

Status Reader::skip_string() {
  const size_t n = text_.size();
  while (true) {
    while (pos_ < n) {
      const unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++pos_;
    }
    if (pos_ == n) return error_here(kEofString);
    const char c = text_[pos_];
    if (c == '"') {
      ++pos_;
      return ok_status();
    }
    if (c == '\\') {
      ++pos_;
      RETURN_IF_ERROR(skip_escape());
      continue;
    }
    // Unlike a string that is read, a skipped one reports the control character before
    // consuming it.
    return error_here(kControlCharacter);
  }
}

// ---- Public reading operations --------------------------------------------------------

Result<Kind> Reader::peek() {
  RETURN_IF_ERROR(consume_pending_colon());
  switch (skip_ws()) {
    case -1: return Kind::kEnd;
    case 'n': return Kind::kNull;
    case 't': case 'f': return Kind::kBool;
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
      return Kind::kNumber;
    case '"': return Kind::kString;
    case '[': return Kind::kArray;
    case '{': return Kind::kObject;
    default: return Kind::kInvalid;
  }
}

Result<std::string_view> Reader::read_string(std::string_view expected) {
  RETURN_IF_ERROR(consume_pending_colon());
  const int c = skip_ws();
  if (c == '"') {
    ++pos_;
    return parse_string();
  }
  if (c == -1) return error_at_peek(kEofValue);
  return invalid_type(expected);
}

Status Reader::read_string_into(std::string& out, std::string_view expected) {
  ASSIGN_OR_RETURN(const std::string_view s, read_string(expected));
  out.assign(s.data(), s.size());
  return ok_status();
}

Result<Number> Reader::read_number(std::string_view expected) {
  RETURN_IF_ERROR(consume_pending_colon());
  const int c = skip_ws();
  if (c == '-' || is_digit(c)) {
    const bool negative = c == '-';
    if (negative) ++pos_;
    Number n;
    RETURN_IF_ERROR(parse_number(negative, &n));
    return n;
  }
  if (c == -1) return error_at_peek(kEofValue);
  return invalid_type(expected);
}

Result<double> Reader::read_f64(std::string_view expected) {
  ASSIGN_OR_RETURN(const Number n, read_number(expected));
  switch (n.type) {
    case Number::Type::kU64: return static_cast<double>(n.u);
    case Number::Type::kI64: return static_cast<double>(n.i);
    case Number::Type::kF64: break;
  }
  return n.f;
}

Result<uint64_t> Reader::read_u64(std::string_view expected) {
  ASSIGN_OR_RETURN(const Number n, read_number(expected));
  switch (n.type) {
    case Number::Type::kU64:
      return n.u;
    case Number::Type::kI64:
      return error_here("invalid value: " + describe_number(n) + ", expected " +
                        std::string(expected));
    case Number::Type::kF64:
      break;
  }
  return error_here("invalid type: " + describe_number(n) + ", expected " + std::string(expected));
}

Result<int64_t> Reader::read_i64(std::string_view expected) {
  ASSIGN_OR_RETURN(const Number n, read_number(expected));
  switch (n.type) {
    case Number::Type::kU64:
      if (n.u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return error_here("invalid value: " + describe_number(n) + ", expected " +
                          std::string(expected));
      }
      return static_cast<int64_t>(n.u);
    case Number::Type::kI64:
      return n.i;
    case Number::Type::kF64:
      break;
  }
  return error_here("invalid type: " + describe_number(n) + ", expected " + std::string(expected));
}

Result<bool> Reader::read_bool(std::string_view expected) {
  RETURN_IF_ERROR(consume_pending_colon());
  const int c = skip_ws();
  if (c == 't') {
    ++pos_;
    RETURN_IF_ERROR(parse_ident("rue"));
    return true;
  }
  if (c == 'f') {
    ++pos_;
    RETURN_IF_ERROR(parse_ident("alse"));
    return false;
  }
  if (c == -1) return error_at_peek(kEofValue);
  return invalid_type(expected);
}

Result<bool> Reader::read_null_if_present() {
  RETURN_IF_ERROR(consume_pending_colon());
  if (skip_ws() != 'n') return false;
  ++pos_;
  RETURN_IF_ERROR(parse_ident("ull"));
  return true;
}

Status Reader::begin_object() {
  RETURN_IF_ERROR(consume_pending_colon());
  if (skip_ws() != '{') return invalid_type("a map");
  return enter_level();
}

Result<bool> Reader::next_key(std::string_view* key) {
  int c = skip_ws();
  if (c == '}') return false;
  if (c == ',' && !first_[depth_]) {
    ++pos_;
    c = skip_ws();
  } else if (c == -1) {
    return error_at_peek(kEofObject);
  } else if (first_[depth_]) {
    first_[depth_] = false;
  } else {
    return error_at_peek(kExpectedObjectCommaOrEnd);
  }
  if (c == '"') {
    ++pos_;
    ASSIGN_OR_RETURN(*key, parse_string());
    colon_pending_ = true;
    return true;
  }
  if (c == '}') return error_at_peek(kTrailingComma);
  if (c == -1) return error_at_peek(kEofValue);
  return error_at_peek(kKeyMustBeString);
}

Status Reader::end_object() {
  colon_pending_ = false;
  const int c = skip_ws();
  if (c == '}') {
    ++pos_;
    --depth_;
    return ok_status();
  }
  if (c == ',') return error_at_peek(kTrailingComma);
  if (c == -1) return error_at_peek(kEofObject);
  return error_at_peek(kTrailingCharacters);
}

Status Reader::begin_array() {
  RETURN_IF_ERROR(consume_pending_colon());
  if (skip_ws() != '[') return invalid_type("a sequence");
  return enter_level();
}

Result<bool> Reader::has_next() {
  const int c = skip_ws();
  if (c == -1) return error_at_peek(kEofList);
  if (c == ']') return false;
  if (first_[depth_]) {
    first_[depth_] = false;
    return true;
  }
  if (c != ',') return error_at_peek(kExpectedListCommaOrEnd);
  ++pos_;
  const int next = skip_ws();
  if (next == ']') return error_at_peek(kTrailingComma);
  if (next == -1) return error_at_peek(kEofValue);
  return true;
}

Status Reader::end_array() {
  const int c = skip_ws();
  if (c == ']') {
    ++pos_;
    --depth_;
    return ok_status();
  }
  if (c == ',') {
    ++pos_;
    if (skip_ws() == ']') return error_at_peek(kTrailingComma);
    return error_at_peek(kTrailingCharacters);
  }
  if (c == -1) return error_at_peek(kEofList);
  return error_at_peek(kTrailingCharacters);
}

// Iterative: the open containers are kept in `open`, bounded by the depth limit.
Status Reader::skip_value() {
  RETURN_IF_ERROR(consume_pending_colon());
  char open[kMaxDepth];
  int top = 0;
  // Consumes the closing bracket of the innermost open container, which is the next byte.
  auto close = [&] {
    ++pos_;
    --depth_;
    --top;
  };
  // Skips a member's key, whose opening quote `k` must be, and the colon after it.
  auto skip_key = [&](int k) -> Status {
    if (k == -1) return error_at_peek(kEofObject);
    if (k != '"') return error_at_peek(kKeyMustBeString);
    ++pos_;
    RETURN_IF_ERROR(skip_string());
    return parse_colon();
  };
  while (true) {
    // One value.
    const int c = skip_ws();
    switch (c) {
      case -1:
        return error_at_peek(kEofValue);
      case 'n': ++pos_; RETURN_IF_ERROR(parse_ident("ull")); break;
      case 't': ++pos_; RETURN_IF_ERROR(parse_ident("rue")); break;
      case 'f': ++pos_; RETURN_IF_ERROR(parse_ident("alse")); break;
      case '-': ++pos_; RETURN_IF_ERROR(skip_number()); break;
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        RETURN_IF_ERROR(skip_number());
        break;
      case '"': ++pos_; RETURN_IF_ERROR(skip_string()); break;
      case '[':
      case '{': {
        RETURN_IF_ERROR(enter_level());
        open[top++] = static_cast<char>(c);
        const int next = skip_ws();
        if (next == (c == '[' ? ']' : '}')) {
          close();
          break;
        }
        if (c == '[') {
          if (next == -1) return error_at_peek(kEofList);
          continue;  // the first element
        }
        RETURN_IF_ERROR(skip_key(next));
        continue;  // the first member's value
      }
      default:
        return error_at_peek(kExpectedValue);
    }
    // A value is complete: close containers until one continues with another element.
    while (true) {
      if (top == 0) return ok_status();
      const int next = skip_ws();
      const bool in_array = open[top - 1] == '[';
      if (next == (in_array ? ']' : '}')) {
        close();
        continue;
      }
      if (next == ',') {
        ++pos_;
        if (!in_array) RETURN_IF_ERROR(skip_key(skip_ws()));
        break;
      }
      if (next == -1) return error_at_peek(in_array ? kEofList : kEofObject);
      return error_at_peek(in_array ? kExpectedListCommaOrEnd : kExpectedObjectCommaOrEnd);
    }
  }
}

Status Reader::read_value(Value& out) {
  RETURN_IF_ERROR(consume_pending_colon());
  return read_value_at(out);
}

// Recursion is bounded by the depth limit (at most kMaxDepth frames).
Status Reader::read_value_at(Value& out) {
  const int c = skip_ws();
  switch (c) {
    case -1:
      return error_at_peek(kEofValue);
    case 'n':
      ++pos_;
      RETURN_IF_ERROR(parse_ident("ull"));
      out = Value();
      return ok_status();
    case 't':
      ++pos_;
      RETURN_IF_ERROR(parse_ident("rue"));
      out = Value(true);
      return ok_status();
    case 'f':
      ++pos_;
      RETURN_IF_ERROR(parse_ident("alse"));
      out = Value(false);
      return ok_status();
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9': {
      const bool negative = c == '-';
      if (negative) ++pos_;
      Number n;
      RETURN_IF_ERROR(parse_number(negative, &n));
      switch (n.type) {
        case Number::Type::kU64: out = Value(n.u); break;
        case Number::Type::kI64: out = Value(n.i); break;
        case Number::Type::kF64: out = Value(n.f); break;
      }
      return ok_status();
    }
    case '"': {
      ++pos_;
      ASSIGN_OR_RETURN(const std::string_view s, parse_string());
      out = Value(s);
      return ok_status();
    }
    case '[': {
      RETURN_IF_ERROR(enter_level());
      Value::Array items;
      while (true) {
        ASSIGN_OR_RETURN(const bool more, has_next());
        if (!more) break;
        items.emplace_back();
        RETURN_IF_ERROR(read_value_at(items.back()));
      }
      RETURN_IF_ERROR(end_array());
      out = Value(std::move(items));
      return ok_status();
    }
    case '{': {
      RETURN_IF_ERROR(enter_level());
      Value::Object members;
      std::string_view key_view;
      while (true) {
        ASSIGN_OR_RETURN(const bool more, next_key(&key_view));
        if (!more) break;
        std::string key(key_view);
        RETURN_IF_ERROR(consume_pending_colon());
        Value v;
        RETURN_IF_ERROR(read_value_at(v));
        members.insert_or_assign(std::move(key), std::move(v));
      }
      RETURN_IF_ERROR(end_object());
      out = Value(std::move(members));
      return ok_status();
    }
    default:
      return error_at_peek(kExpectedValue);
  }
}

Result<std::string_view> Reader::read_variant_name(VariantForm* form) {
  RETURN_IF_ERROR(consume_pending_colon());
  const int c = skip_ws();
  if (c == '"') {
    ++pos_;
    *form = VariantForm::kString;
    return parse_string();
  }
  if (c == '{') {
    RETURN_IF_ERROR(enter_level());
    *form = VariantForm::kObject;
    const int k = skip_ws();
    if (k == '"') {
      ++pos_;
      return parse_string();
    }
    if (k == -1) return error_at_peek(kEofValue);
    return invalid_type("variant identifier");
  }
  if (c == -1) return error_at_peek(kEofValue);
  return error_at_peek(kExpectedValue);
}

Status Reader::finish_variant(VariantForm form) {
  if (form == VariantForm::kString) return ok_status();
  RETURN_IF_ERROR(parse_colon());
  const int c = skip_ws();
  if (c == 'n') {
    ++pos_;
    RETURN_IF_ERROR(parse_ident("ull"));
  } else if (c == -1) {
    return error_at_peek(kEofValue);
  } else {
    return invalid_type("unit");
  }
  const int close = skip_ws();
  if (close == '}') {
    ++pos_;
    --depth_;
    return ok_status();
  }
  if (close == -1) return error_here(kEofObject);
  return error_here(kExpectedValue);
}

Status Reader::end() {
  if (skip_ws() != -1) return error_at_peek(kTrailingCharacters);
  return ok_status();
}

}  // namespace osmira_base::json
