#include "common/enum_table.h"

namespace osmira_common {

std::string expected_names(std::span<const std::string_view> names) {
  std::string out;
  auto quoted = [&](std::string_view n) {
    out += '`';
    out += n;
    out += '`';
  };
  if (names.size() == 1) {
    quoted(names[0]);
  } else if (names.size() == 2) {
    quoted(names[0]);
    out += " or ";
    quoted(names[1]);
  } else {
    out += "one of ";
    for (size_t i = 0; i < names.size(); ++i) {
      if (i > 0) out += ", ";
      quoted(names[i]);
    }
  }
  return out;
}

std::string unknown_variant_message(std::string_view text, std::span<const std::string_view> names) {
  std::string out = "unknown variant `";
  out += text;
  out += '`';
  if (names.empty()) {
    out += ", there are no variants";
  } else {
    out += ", expected ";
    out += expected_names(names);
  }
  return out;
}

}  // namespace osmira_common
