#include "base/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace osmira_base {
namespace {

// The shortest round-trip digits of a finite, non-zero |value| and the decimal exponent of
// the first digit: value = 0.d1d2d3... * 10^(exp+1) = d1.d2d3... * 10^exp.
struct Digits {
  char buf[32];
  int len = 0;
  int exp = 0;
};

Digits shortest_digits(double value) {
  char tmp[64];
  auto res = std::to_chars(tmp, tmp + sizeof tmp, std::fabs(value), std::chars_format::scientific);
  Digits d;
  const char* p = tmp;
  for (; p < res.ptr && *p != 'e'; ++p) {
    if (*p != '.') d.buf[d.len++] = *p;
  }
  if (p < res.ptr) std::from_chars(p + (p[1] == '+' ? 2 : 1), res.ptr, d.exp);
  // Trailing zeros never appear in shortest digits except for the single digit "0".
  while (d.len > 1 && d.buf[d.len - 1] == '0') --d.len;
  return d;
}

// Writes the digits in positional notation, without exponent.
void append_positional(std::string& out, const Digits& d, bool force_fraction) {
  if (d.exp < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-d.exp - 1), '0');
    out.append(d.buf, d.len);
    return;
  }
  const int int_digits = d.exp + 1;
  if (d.len <= int_digits) {
    out.append(d.buf, d.len);
    out.append(static_cast<size_t>(int_digits - d.len), '0');
    if (force_fraction) out += ".0";
  } else {
    out.append(d.buf, int_digits);
    out += '.';
    out.append(d.buf + int_digits, d.len - int_digits);
  }
}

}  // namespace

void append_json_float(std::string& out, double value) {
  if (std::signbit(value)) out += '-';
  if (value == 0.0) {
    out += "0.0";
    return;
  }
  Digits d = shortest_digits(value);
  if (d.exp >= -5 && d.exp <= 15) {
    append_positional(out, d, /*force_fraction=*/true);
    return;
  }
  out += d.buf[0];
  if (d.len > 1) {
    out += '.';
    out.append(d.buf + 1, d.len - 1);
  }
  out += 'e';
  out += d.exp < 0 ? '-' : '+';
  out += std::to_string(std::abs(d.exp));
}

std::string json_float(double value) {
  std::string s;
  append_json_float(s, value);
  return s;
}

void append_plain_number(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::signbit(value)) out += '-';
  if (std::isinf(value)) {
    out += "inf";
    return;
  }
  if (value == 0.0) {
    out += '0';
    return;
  }
  append_positional(out, shortest_digits(value), /*force_fraction=*/false);
}

std::string plain_number(double value) {
  std::string s;
  append_plain_number(s, value);
  return s;
}

std::string fixed_number(double value, int decimals) {
  // printf writes "nan" or "-nan"; every number text of the system writes "NaN".
  if (std::isnan(value)) return "NaN";
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

}  // namespace osmira_base
