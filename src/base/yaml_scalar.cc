#include "base/yaml_scalar.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <system_error>

namespace osmira_base::yaml {

bool is_null_text(std::string_view s) {
  return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL";
}

std::optional<bool> bool_text(std::string_view s) {
  if (s == "true" || s == "True" || s == "TRUE") return true;
  if (s == "false" || s == "False" || s == "FALSE") return false;
  return std::nullopt;
}

namespace {

bool starts_with_sign(std::string_view s) {
  return !s.empty() && (s.front() == '+' || s.front() == '-');
}

bool is_decimal_digit(char c) { return c >= '0' && c <= '9'; }

// A leading zero followed by more decimal digits ("01234", "-007", "00"): YAML 1.2 reads
// these as text, not as octal or decimal numbers.
bool digits_but_not_number(std::string_view s) {
  if (starts_with_sign(s)) s.remove_prefix(1);
  if (s.size() <= 1 || s.front() != '0') return false;
  for (char c : s.substr(1)) {
    if (!is_decimal_digit(c)) return false;
  }
  return true;
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// The magnitude written in `digits` (no sign, non-empty, every character a digit of
// `radix`), or nothing when it is not such a text or exceeds `max`.
template <typename U>
std::optional<U> parse_magnitude(std::string_view digits, unsigned radix, U max) {
  if (digits.empty()) return std::nullopt;
  U value = 0;
  for (char c : digits) {
    const int d = digit_value(c);
    if (d >= static_cast<int>(radix)) return std::nullopt;
    if (value > (max - static_cast<U>(d)) / radix) return std::nullopt;
    value = value * radix + static_cast<U>(d);
  }
  return value;
}

struct RadixPrefix {
  std::string_view prefix;
  unsigned radix;
};
constexpr RadixPrefix kRadixPrefixes[] = {{"0x", 16}, {"0o", 8}, {"0b", 2}};

// A non-negative integer no larger than `max`: an optional single '+', then a radix
// prefix and digits of that radix, or plain decimal digits.
template <typename U>
std::optional<U> parse_unsigned(std::string_view text, U max) {
  std::string_view s = text;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  for (const RadixPrefix& p : kRadixPrefixes) {
    if (s.starts_with(p.prefix)) {
      std::string_view rest = s.substr(p.prefix.size());
      if (starts_with_sign(rest)) return std::nullopt;
      if (auto v = parse_magnitude<U>(rest, p.radix, max)) return v;
    }
  }
  if (starts_with_sign(s) || digits_but_not_number(text)) return std::nullopt;
  return parse_magnitude<U>(s, 10, max);
}

// A negative integer whose magnitude is at most `max_magnitude`: "-0x", "-0o", "-0b" and
// digits of that radix, or '-' and decimal digits. Returns the magnitude.
template <typename U>
std::optional<U> parse_negative_magnitude(std::string_view text, U max_magnitude) {
  if (!text.starts_with('-')) return std::nullopt;
  const std::string_view s = text.substr(1);
  for (const RadixPrefix& p : kRadixPrefixes) {
    if (s.starts_with(p.prefix)) {
      if (auto v = parse_magnitude<U>(s.substr(p.prefix.size()), p.radix, max_magnitude)) return v;
    }
  }
  if (digits_but_not_number(text)) return std::nullopt;
  return parse_magnitude<U>(s, 10, max_magnitude);
}

// Checks the decimal float grammar [+-]? digits? ('.' digits?)? ([eE][+-]?digits)? with at
// least one mantissa digit. On success gives the decimal exponent of the first non-zero
// mantissa digit (saturated), used to tell overflow from underflow, and whether every
// mantissa digit is zero.
bool decimal_float_shape(std::string_view s, long long& lead_exponent, bool& all_zero) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  long long int_digits = 0;   // digits before the point
  long long first_nonzero = -1;  // index among all mantissa digits of the first non-zero one
  long long mantissa_digits = 0;
  while (i < s.size() && is_decimal_digit(s[i])) {
    if (s[i] != '0' && first_nonzero < 0) first_nonzero = mantissa_digits;
    ++int_digits;
    ++mantissa_digits;
    ++i;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_decimal_digit(s[i])) {
      if (s[i] != '0' && first_nonzero < 0) first_nonzero = mantissa_digits;
      ++mantissa_digits;
      ++i;
    }
  }
  if (mantissa_digits == 0) return false;
  long long exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i == s.size()) return false;
    constexpr long long kSaturate = 1'000'000'000;
    while (i < s.size() && is_decimal_digit(s[i])) {
      if (exponent < kSaturate) exponent = exponent * 10 + (s[i] - '0');
      ++i;
    }
    if (negative) exponent = -exponent;
  }
  if (i != s.size()) return false;
  all_zero = first_nonzero < 0;
  lead_exponent = all_zero ? 0 : int_digits - 1 - first_nonzero + exponent;
  return true;
}

// A finite float, correctly rounded; infinite and NaN only for the ".inf"/".nan" words.
// A decimal text too large for a 64-bit float is not a float.
std::optional<double> parse_float(std::string_view text) {
  std::string_view unpositive = text;
  if (!unpositive.empty() && unpositive.front() == '+') {
    unpositive.remove_prefix(1);
    if (starts_with_sign(unpositive)) return std::nullopt;
  }
  if (unpositive == ".inf" || unpositive == ".Inf" || unpositive == ".INF") {
    return std::numeric_limits<double>::infinity();
  }
  if (text == "-.inf" || text == "-.Inf" || text == "-.INF") {
    return -std::numeric_limits<double>::infinity();
  }
  if (text == ".nan" || text == ".NaN" || text == ".NAN") {
    return std::numeric_limits<double>::quiet_NaN();
  }
  long long lead_exponent = 0;
  bool all_zero = false;
  if (!decimal_float_shape(unpositive, lead_exponent, all_zero)) return std::nullopt;
  double value = 0.0;
  const char* first = unpositive.data();
  const char* last = first + unpositive.size();
  auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Too small rounds to zero (keeping the sign); too large has no finite value.
    if (all_zero || lead_exponent < 0) return unpositive.front() == '-' ? -0.0 : 0.0;
    return std::nullopt;
  }
  if (ec != std::errc() || ptr != last || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

PlainScalar classify_plain_scalar(std::string_view text) {
  using U128 = unsigned __int128;
  constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
  constexpr uint64_t kI64MinMagnitude = uint64_t{1} << 63;
  constexpr U128 kU128Max = ~U128{0};
  constexpr U128 kI128MinMagnitude = U128{1} << 127;

  PlainScalar out;
  if (is_null_text(text)) {
    out.kind = PlainScalar::Kind::kNull;
    return out;
  }
  if (auto b = bool_text(text)) {
    out.kind = PlainScalar::Kind::kBool;
    out.boolean = *b;
    return out;
  }
  if (auto u = parse_unsigned<uint64_t>(text, kU64Max)) {
    out.kind = PlainScalar::Kind::kUInt;
    out.uint = *u;
    return out;
  }
  if (auto m = parse_negative_magnitude<uint64_t>(text, kI64MinMagnitude)) {
    if (*m == 0) {  // "-0", "-0x0": the integer zero
      out.kind = PlainScalar::Kind::kUInt;
      out.uint = 0;
    } else {
      out.kind = PlainScalar::Kind::kInt;
      out.sint = static_cast<int64_t>(~(*m - 1));  // -m without signed overflow at INT64_MIN
    }
    return out;
  }
  if (auto u = parse_unsigned<U128>(text, kU128Max)) {
    out.kind = PlainScalar::Kind::kBigUInt;
    out.big_uint = *u;
    return out;
  }
  if (auto m = parse_negative_magnitude<U128>(text, kI128MinMagnitude)) {
    out.kind = PlainScalar::Kind::kBigInt;
    out.big_int = static_cast<__int128>(~(*m - 1));
    return out;
  }
  if (!digits_but_not_number(text)) {
    if (auto f = parse_float(text)) {
      out.kind = PlainScalar::Kind::kFloat;
      out.number = *f;
      return out;
    }
  }
  out.kind = PlainScalar::Kind::kString;
  return out;
}

}  // namespace osmira_base::yaml
