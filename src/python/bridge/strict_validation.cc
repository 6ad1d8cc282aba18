#include "python/bridge/strict_validation.h"

#include <algorithm>
#include <array>

#include "base/unicode.h"
#include "common/spec/spec_reader.h"
#include "tooling/validator.h"

namespace vintrel_bridge {
namespace {

namespace unicode = osmira_base::unicode;

constexpr std::array<std::string_view, 5> kSurvivorshipStrategies = {
    "most_recent", "most_complete", "source_priority", "aggregate", "custom"};

std::vector<char32_t> code_points(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) out.push_back(unicode::decode_utf8(text, pos));
  return out;
}

bool contains(std::string_view text, std::string_view piece) {
  return text.find(piece) != std::string_view::npos;
}

// The list of an "expected" text of the reader ("one of `a`, `b`"): everything after its
// "one of ", without trailing full stops and white space. Nothing for any other form ("`a` or
// `b`", one name, none).
std::optional<std::string> expected_list(std::string_view expected) {
  constexpr std::string_view kOneOf = "one of ";
  if (!expected.starts_with(kOneOf)) return std::nullopt;
  std::vector<char32_t> chars = code_points(expected.substr(kOneOf.size()));
  while (!chars.empty() && (chars.back() == '.' || unicode::is_whitespace(chars.back()))) chars.pop_back();
  std::string out;
  for (char32_t c : chars) unicode::append_utf8(out, c);
  return out;
}

// The pieces of a list text split at ", ", each without backticks at either end and then
// without white space at either end.
std::vector<std::string> candidates_of(std::string_view list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    const size_t comma = list.find(", ", start);
    std::string_view piece = list.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                                : comma - start);
    while (!piece.empty() && piece.front() == '`') piece.remove_prefix(1);
    while (!piece.empty() && piece.back() == '`') piece.remove_suffix(1);
    out.emplace_back(unicode::trim_whitespace(piece));
    if (comma == std::string_view::npos) break;
    start = comma + 2;
  }
  return out;
}

}  // namespace

size_t edit_distance(std::string_view a, std::string_view b) {
  const std::vector<char32_t> x = code_points(a);
  const std::vector<char32_t> y = code_points(b);
  // One row of the (|x|+1) x (|y|+1) table at a time.
  std::vector<size_t> row(y.size() + 1);
  for (size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= x.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= y.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({diagonal + (x[i - 1] == y[j - 1] ? 0 : 1), row[j - 1] + 1, above + 1});
      diagonal = above;
    }
  }
  return row[y.size()];
}

std::string coded_message(const osmira_base::Error& error) {
  using osmira_base::ErrorKind;
  const auto& location = error.location();
  const std::string loc = location ? " (line " + std::to_string(location->line) + ")" : std::string();
  // A failure below the root names its node in front of the message; only the unknown
  // variants and keys of the root itself get their own codes.
  const bool at_root = !location || location->path.empty();
  const std::string& subject = error.subject();

  if (error.kind() == ErrorKind::kUnknownVariant && at_root) {
    const bool names_strategy = std::any_of(kSurvivorshipStrategies.begin(), kSurvivorshipStrategies.end(),
                                            [&](std::string_view s) { return contains(error.detail(), s); });
    if (names_strategy) {
      std::string valid;
      for (std::string_view s : kSurvivorshipStrategies) {
        if (!valid.empty()) valid += ", ";
        valid += s;
      }
      return "VTL-E201: Invalid survivorship strategy '" + subject + "'" + loc + ". Valid: " + valid;
    }
    if (auto list = expected_list(error.detail())) {
      return "VTL-E101: Invalid value '" + subject + "'" + loc + ". Valid options: " + *list;
    }
  }

  if (error.kind() == ErrorKind::kMissingField) {
    if (subject == "field" && error.detail() == "SurvivorshipOverride") {
      return "VTL-E203: Each survivorship override needs a 'field' name" + loc + ".";
    }
    return "VTL-E102: Missing required field '" + subject + "'" + loc + ". Add '" + subject +
           ": <value>' to your spec.";
  }

  if (error.kind() == ErrorKind::kUnknownField && at_root) {
    if (auto list = expected_list(error.detail())) {
      const std::string lowered = unicode::to_lowercase(subject);
      std::optional<std::string> suggestion;
      size_t best = 3;
      for (const std::string& candidate : candidates_of(*list)) {
        const size_t d = edit_distance(lowered, unicode::to_lowercase(candidate));
        if (d < best) {
          best = d;
          suggestion = candidate;
        }
      }
      if (suggestion) {
        return "VTL-E103: Unknown field '" + subject + "'" + loc + ". Did you mean '" + *suggestion + "'?";
      }
      return "VTL-E103: Unknown field '" + subject + "'" + loc + ". Expected one of: " + *list;
    }
  }

  if (error.kind() == ErrorKind::kInvalidType) return "VTL-E104: Type error" + loc + " \u2014 " + error.message();
  return "VTL-E100: " + error.message();
}

osmira_base::Result<std::vector<std::string>> validate_strict(std::string_view yaml) {
  ASSIGN_OR_RETURN(std::vector<std::string> messages, vintrel_core::validate_yaml(yaml));
  const osmira_common::spec::SpecReadResult spec = osmira_common::spec::read_identity_spec(yaml);
  if (!spec.ok()) messages.push_back(coded_message(spec.error()));
  return messages;
}

}  // namespace vintrel_bridge
