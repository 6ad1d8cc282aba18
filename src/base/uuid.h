// Entity identifiers: 16-byte UUIDs read from their standard text forms and written in the
// lowercase hyphenated form. Identifiers order by their bytes as one unsigned big-endian
// number, which is also the order of their canonical texts.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace osmira_base {

struct Uuid {
  std::array<uint8_t, 16> bytes{};

  // Reads 32 hexadecimal digits, the hyphenated 8-4-4-4-12 form, that form in braces, or
  // that form behind "urn:uuid:"; digits of either case. The error is the reason alone
  // (callers add their own context).
  [[nodiscard]] static Result<Uuid> parse(std::string_view text);

  // The 36-character lowercase hyphenated form.
  std::string to_string() const;
  void append_to(std::string& out) const;

  // Byte-wise comparison of unsigned bytes: the big-endian numeric order.
  friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

// For hash containers (boost::hash finds it by argument-dependent lookup): SipHash-1-3 under
// the process's random key (base/keyed_hash.h), since callers choose identifiers.
size_t hash_value(const Uuid& id);

}  // namespace osmira_base

template <>
struct std::hash<osmira_base::Uuid> {
  size_t operator()(const osmira_base::Uuid& id) const noexcept { return osmira_base::hash_value(id); }
};
