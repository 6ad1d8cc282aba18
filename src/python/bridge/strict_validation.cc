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

// The name quoted after `opening` (which ends in a backtick) at `start`: the text up to the
// next backtick, and where that closing backtick is. Nothing when it is not closed.
std::optional<std::pair<std::string_view, size_t>> quoted_after(std::string_view m, size_t start,
                                                                std::string_view opening) {
  const size_t from = start + opening.size();
  const size_t close = m.find('`', from);
  if (close == std::string_view::npos) return std::nullopt;
  return std::make_pair(m.substr(from, close - from), close);
}

// Everything after the first "expected one of ", without trailing full stops and white space.
std::optional<std::string> expected_list(std::string_view remainder) {
  constexpr std::string_view kExpected = "expected one of ";
  const size_t at = remainder.find(kExpected);
  if (at == std::string_view::npos) return std::nullopt;
  std::vector<char32_t> chars = code_points(remainder.substr(at + kExpected.size()));
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

std::string coded_message(std::string_view m, std::optional<uint64_t> line) {
  const std::string loc = line ? " (line " + std::to_string(*line) + ")" : std::string();

  constexpr std::string_view kUnknownVariant = "unknown variant `";
  if (m.starts_with(kUnknownVariant)) {
    if (auto quoted = quoted_after(m, 0, kUnknownVariant)) {
      const std::string_view value = quoted->first;
      const std::string_view remainder = m.substr(quoted->second);
      const bool names_strategy = std::any_of(kSurvivorshipStrategies.begin(), kSurvivorshipStrategies.end(),
                                              [&](std::string_view s) { return contains(remainder, s); });
      if (names_strategy) {
        std::string valid;
        for (std::string_view s : kSurvivorshipStrategies) {
          if (!valid.empty()) valid += ", ";
          valid += s;
        }
        return "VTL-E201: Invalid survivorship strategy '" + std::string(value) + "'" + loc + ". Valid: " + valid;
      }
      if (auto list = expected_list(remainder)) {
        return "VTL-E101: Invalid value '" + std::string(value) + "'" + loc + ". Valid options: " + *list;
      }
    }
  }

  constexpr std::string_view kMissingField = "missing field `";
  if (const size_t at = m.find(kMissingField); at != std::string_view::npos) {
    if (auto quoted = quoted_after(m, at, kMissingField)) {
      const std::string field(quoted->first);
      if (field == "field" && contains(m, "SurvivorshipOverride")) {
        return "VTL-E203: Each survivorship override needs a 'field' name" + loc + ".";
      }
      return "VTL-E102: Missing required field '" + field + "'" + loc + ". Add '" + field + ": <value>' to your spec.";
    }
  }

  constexpr std::string_view kUnknownField = "unknown field `";
  if (m.starts_with(kUnknownField)) {
    if (auto quoted = quoted_after(m, 0, kUnknownField)) {
      const std::string_view name = quoted->first;
      if (auto list = expected_list(m.substr(quoted->second))) {
        const std::string lowered = unicode::to_lowercase(name);
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
          return "VTL-E103: Unknown field '" + std::string(name) + "'" + loc + ". Did you mean '" + *suggestion +
                 "'?";
        }
        return "VTL-E103: Unknown field '" + std::string(name) + "'" + loc + ". Expected one of: " + *list;
      }
    }
  }

  if (contains(m, "invalid type:")) return "VTL-E104: Type error" + loc + " \u2014 " + std::string(m);
  return "VTL-E100: " + std::string(m);
}

osmira_base::Result<std::vector<std::string>> validate_strict(std::string_view yaml) {
  ASSIGN_OR_RETURN(std::vector<std::string> messages, vintrel_core::validate_yaml(yaml));
  const osmira_common::spec::SpecReadResult spec = osmira_common::spec::read_identity_spec(yaml);
  if (!spec.ok()) {
    const auto& location = spec.error().location();
    messages.push_back(coded_message(spec.error().message(),
                                     location ? std::optional<uint64_t>(location->line) : std::nullopt));
  }
  return messages;
}

}  // namespace vintrel_bridge
