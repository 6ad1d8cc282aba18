#include "base/uuid.h"

#include <cstring>

#include "base/keyed_hash.h"
#include "base/unicode.h"

namespace osmira_base {
namespace {

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr size_t kSimpleLength = 32;
constexpr size_t kHyphenatedLength = 36;
constexpr size_t kHyphenAt[] = {8, 13, 18, 23};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_hyphen_position(size_t i) {
  return i == kHyphenAt[0] || i == kHyphenAt[1] || i == kHyphenAt[2] || i == kHyphenAt[3];
}

// "found `c` at N": the character (whole code point) at byte `pos` of `text`, 1-based.
std::string found_at(std::string_view text, size_t pos) {
  std::string out = "found `";
  size_t i = pos;
  unicode::append_utf8(out, unicode::decode_utf8(text, i));
  out += "` at ";
  out += std::to_string(pos + 1);
  return out;
}

size_t count_chars(std::string_view text) {
  size_t n = 0;
  for (size_t i = 0; i < text.size();) {
    unicode::decode_utf8(text, i);
    ++n;
  }
  return n;
}

}  // namespace

Result<Uuid> Uuid::parse(std::string_view text) {
  // Strip the wrapper of the braced and URN forms; `offset` keeps positions in messages
  // relative to the whole text.
  std::string_view body = text;
  size_t offset = 0;
  if (text.size() == kUrnPrefix.size() + kHyphenatedLength && text.starts_with(kUrnPrefix)) {
    body = text.substr(kUrnPrefix.size());
    offset = kUrnPrefix.size();
  } else if (text.size() == kHyphenatedLength + 2 && text.front() == '{' && text.back() == '}') {
    body = text.substr(1, kHyphenatedLength);
    offset = 1;
  }
  const bool hyphenated = body.size() == kHyphenatedLength;
  if (!hyphenated && body.size() != kSimpleLength) {
    return Error("invalid length: expected 32 hexadecimal digits, or 36 characters in the "
                 "hyphenated 8-4-4-4-12 form (optionally in braces or behind urn:uuid:), found " +
                 std::to_string(count_chars(text)) + " characters");
  }
  Uuid id;
  size_t digit = 0;
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (hyphenated && is_hyphen_position(i)) {
      if (c != '-') return Error("invalid group structure: expected `-`, " + found_at(text, offset + i));
      continue;
    }
    const int v = hex_value(c);
    if (v < 0) return Error("invalid character: expected a hexadecimal digit, " + found_at(text, offset + i));
    id.bytes[digit / 2] = static_cast<uint8_t>(id.bytes[digit / 2] | (digit % 2 == 0 ? v << 4 : v));
    ++digit;
  }
  return id;
}

void Uuid::append_to(std::string& out) const {
  static constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0xf];
  }
}

std::string Uuid::to_string() const {
  std::string out;
  out.reserve(kHyphenatedLength);
  append_to(out);
  return out;
}

size_t hash_value(const Uuid& id) {
  // Keyed: callers choose identifiers (see keyed_hash.h).
  return static_cast<size_t>(siphash13(process_hash_key(), id));
}

}  // namespace osmira_base
