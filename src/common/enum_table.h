// Enumerations that travel as snake_case text: each enum class has one table of texts in
// declaration order, from which its name lookup, its text and its "expected" list derive.
#pragma once

#include <array>
#include <cstddef>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace osmira_common {

// "`a`" for one name, "`a` or `b`" for two, "one of `a`, `b`, `c`" for three or more;
// "there are no variants" style callers handle the empty case themselves.
std::string expected_names(std::span<const std::string_view> names);

// "unknown variant `<text>`, expected <names>".
std::string unknown_variant_message(std::string_view text, std::span<const std::string_view> names);

// Specialised per enumeration by OSMIRA_ENUM below.
template <typename E>
struct EnumTraits;

template <typename E>
constexpr std::span<const std::string_view> enum_names() {
  return std::span<const std::string_view>(EnumTraits<E>::kNames);
}

template <typename E>
constexpr std::string_view enum_text(E value) {
  return EnumTraits<E>::kNames[static_cast<size_t>(value)];
}

template <typename E>
constexpr size_t enum_index(E value) {
  return static_cast<size_t>(value);
}

// The value whose text is exactly `text` (case-sensitive), or nothing.
template <typename E>
constexpr std::optional<E> enum_from_text(std::string_view text) {
  const auto& names = EnumTraits<E>::kNames;
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == text) return static_cast<E>(i);
  }
  return std::nullopt;
}

// The value at ordinal `index`, or nothing when beyond the last.
template <typename E>
constexpr std::optional<E> enum_from_index(size_t index) {
  if (index >= EnumTraits<E>::kNames.size()) return std::nullopt;
  return static_cast<E>(index);
}

}  // namespace osmira_common

// Declares `enum class Name` with the values given in parentheses and its text table, the
// texts in the same order as the values:
//   OSMIRA_ENUM(Colour, (kRed, kDarkBlue), "red", "dark_blue")
// The build fails when the counts differ (and a value cannot be given an explicit number: the
// list is also read as expressions), so a text can never be missing or belong to another value.
#define OSMIRA_ENUM_UNPAREN_(...) __VA_ARGS__
#define OSMIRA_ENUM(Name, values, ...)                                                 \
  enum class Name { OSMIRA_ENUM_UNPAREN_ values };                                     \
  }                                                                                    \
  template <>                                                                          \
  struct osmira_common::EnumTraits<OSMIRA_ENUM_NS_::Name> {                            \
    static constexpr auto kNames = std::to_array<std::string_view>({__VA_ARGS__});     \
    struct Values {                                                                    \
      using enum OSMIRA_ENUM_NS_::Name;                                                \
      static constexpr OSMIRA_ENUM_NS_::Name kAll[] = {OSMIRA_ENUM_UNPAREN_ values};   \
    };                                                                                 \
    static_assert(std::size(Values::kAll) == kNames.size(),                            \
                  #Name ": one text per value, no more and no less");                  \
  };                                                                                   \
  namespace OSMIRA_ENUM_NS_ {
