#include "core/engine/survivorship.h"

#include <boost/container/small_vector.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "base/number_text.h"
#include "base/unicode.h"

namespace osmira_core::engine {
namespace {

using osmira_base::DateTime;
using osmira_common::ir::FieldSurvivorshipPolicy;
using osmira_common::ir::SurvivorshipPolicy;
using osmira_common::ir::SurvivorshipStrategy;
using types::NormalizedEntity;

// A record that carries the field under consideration, with its value for it.
struct Candidate {
  const NormalizedEntity* record;
  const std::string_view* value;
};

DateTime effective_time(const NormalizedEntity& record) {
  return record.valid_from.value_or(record.last_updated);
}

std::string_view most_recent_value(std::span<const Candidate> candidates) {
  const Candidate* best = &candidates.front();
  DateTime best_time = effective_time(*best->record);
  for (const Candidate& c : candidates.subspan(1)) {
    const DateTime t = effective_time(*c.record);
    if (t > best_time || (t == best_time && c.record->external_id >= best->record->external_id)) {
      best = &c;
      best_time = t;
    }
  }
  return *best->value;
}

std::string_view most_complete_value(std::span<const Candidate> candidates) {
  const std::string_view* best = candidates.front().value;
  for (const Candidate& c : candidates.subspan(1)) {
    if (c.value->size() > best->size() || (c.value->size() == best->size() && *c.value > *best)) {
      best = c.value;
    }
  }
  return *best;
}

// A list this long or shorter is read in place; a longer one is looked up in its ranks.
constexpr size_t kShortList = 16;

std::string_view source_priority_value(std::span<const Candidate> candidates,
                                       std::span<const std::string> priority,
                                       const SurvivorshipEngine::SourceRanks* ranks) {
  if (priority.empty()) return most_recent_value(candidates);
  // A source's rank is the position of its first entry in the list.
  const auto rank_of = [&](std::string_view source) {
    if (ranks != nullptr) {
      const auto it = ranks->find(source);
      return it == ranks->end() ? priority.size() : it->second;
    }
    for (size_t k = 0; k < priority.size(); ++k) {
      if (priority[k] == source) return k;
    }
    return priority.size();
  };

  const Candidate* winner = nullptr;
  size_t winner_rank = 0;
  for (const Candidate& c : candidates) {
    const size_t rank = rank_of(std::string_view(c.record->source_name));
    if (rank == priority.size()) continue;
    if (winner == nullptr || rank < winner_rank) {
      winner = &c;
      winner_rank = rank;
    }
  }
  return winner == nullptr ? most_recent_value(candidates) : *winner->value;
}

std::optional<std::string> aggregate_value(std::span<const Candidate> candidates,
                                           const std::optional<std::string>& function) {
  const std::string fn =
      function ? osmira_base::unicode::to_lowercase(*function) : std::string();
  if (function && (fn == "max" || fn == "min")) {
    const std::string_view* best = candidates.front().value;
    for (const Candidate& c : candidates.subspan(1)) {
      if (fn == "max" ? *c.value > *best : *c.value < *best) best = c.value;
    }
    return std::string(*best);
  }
  if (function && (fn == "sum" || fn == "avg")) {
    // Added in record order from negative zero, so a sum of nothing prints as "-0".
    double total = -0.0;
    size_t count = 0;
    for (const Candidate& c : candidates) {
      if (std::optional<double> x = read_decimal_number(*c.value)) {
        total += *x;
        ++count;
      }
    }
    if (fn == "sum") return osmira_base::plain_number(total);
    if (count == 0) return std::nullopt;
    return osmira_base::plain_number(total / static_cast<double>(count));
  }
  if (function && fn == "intersection") {
    const std::string_view first = *candidates.front().value;
    for (const Candidate& c : candidates.subspan(1)) {
      if (*c.value != first) return std::nullopt;
    }
    return std::string(first);
  }
  // Union (and any other or no function): distinct values, sorted, joined with ",".
  std::vector<std::string_view> values;
  values.reserve(candidates.size());
  for (const Candidate& c : candidates) values.emplace_back(*c.value);
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  std::string joined;
  for (size_t k = 0; k < values.size(); ++k) {
    if (k > 0) joined += ',';
    joined += values[k];
  }
  return joined;
}

// `ranks`: those of the field policy's source list when it is long, else null.
std::optional<std::string> apply_strategy(std::span<const Candidate> candidates,
                                          const FieldSurvivorshipPolicy* field_policy,
                                          SurvivorshipStrategy default_strategy,
                                          const SurvivorshipEngine::SourceRanks* ranks) {
  const SurvivorshipStrategy strategy = field_policy ? field_policy->strategy : default_strategy;
  switch (strategy) {
    case SurvivorshipStrategy::kMostRecent:
    case SurvivorshipStrategy::kCustom:
      return std::string(most_recent_value(candidates));
    case SurvivorshipStrategy::kMostComplete:
      return std::string(most_complete_value(candidates));
    case SurvivorshipStrategy::kSourcePriority: {
      std::span<const std::string> priority;
      if (field_policy && field_policy->source_priority) priority = *field_policy->source_priority;
      return std::string(source_priority_value(candidates, priority, ranks));
    }
    case SurvivorshipStrategy::kAggregate: {
      static const std::optional<std::string> kNoFunction;
      return aggregate_value(candidates, field_policy ? field_policy->aggregate_fn : kNoFunction);
    }
  }
  return std::string(most_recent_value(candidates));
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t k = 0; k < text.size(); ++k) {
    char c = text[k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[k]) return false;
  }
  return true;
}

}  // namespace

std::optional<double> read_decimal_number(std::string_view text) {
  size_t pos = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) pos = 1;
  const std::string_view body = text.substr(pos);
  const double sign = negative ? -1.0 : 1.0;

  if (equals_ignoring_ascii_case(body, "inf") || equals_ignoring_ascii_case(body, "infinity")) {
    return sign * std::numeric_limits<double>::infinity();
  }
  if (equals_ignoring_ascii_case(body, "nan")) {
    return std::numeric_limits<double>::quiet_NaN();
  }

  // digits [ "." digits ] [ ("e" | "E") [sign] digits ], at least one mantissa digit.
  size_t p = 0;
  const size_t int_begin = p;
  while (p < body.size() && is_digit(body[p])) ++p;
  const size_t int_digits = p - int_begin;
  size_t frac_begin = p;
  size_t frac_digits = 0;
  if (p < body.size() && body[p] == '.') {
    frac_begin = ++p;
    while (p < body.size() && is_digit(body[p])) ++p;
    frac_digits = p - frac_begin;
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  int64_t exponent = 0;
  if (p < body.size() && (body[p] == 'e' || body[p] == 'E')) {
    ++p;
    bool exp_negative = false;
    if (p < body.size() && (body[p] == '+' || body[p] == '-')) exp_negative = body[p++] == '-';
    const size_t exp_begin = p;
    while (p < body.size() && is_digit(body[p])) {
      // Saturates far beyond any exponent that can still matter.
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (body[p] - '0');
      ++p;
    }
    if (p == exp_begin) return std::nullopt;
    if (exp_negative) exponent = -exponent;
  }
  if (p != body.size()) return std::nullopt;

  double magnitude = 0.0;
  const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), magnitude,
                                         std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Beyond the range of a double: infinity when the first significant digit stands at
    // or above the units place, zero otherwise.
    int64_t first_significant = -1;  // index among the mantissa digits
    for (size_t k = 0; k < int_digits + frac_digits; ++k) {
      const char c = k < int_digits ? body[int_begin + k] : body[frac_begin + (k - int_digits)];
      if (c != '0') {
        first_significant = static_cast<int64_t>(k);
        break;
      }
    }
    const bool overflow =
        first_significant >= 0 &&
        static_cast<int64_t>(int_digits) - first_significant + exponent > 0;
    magnitude = overflow ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || end != body.data() + body.size()) {
    return std::nullopt;
  }
  return sign * magnitude;
}

std::optional<std::string> SurvivorshipEngine::pick_by_most_recent(
    std::span<const NormalizedEntity> records, std::string_view field) {
  std::vector<Candidate> candidates;
  for (const NormalizedEntity& r : records) {
    auto it = r.data.find(field);
    if (it != r.data.end()) candidates.push_back({&r, &it->second});
  }
  if (candidates.empty()) return std::nullopt;
  return std::string(most_recent_value(candidates));
}

namespace {

// The golden record over `count` member records, the i-th being `member(i)`.
// `ranks_of(field_policy)`: the prepared ranks of that field policy's list, or null.
template <typename Member, typename RanksOf>
GoldenRecord golden_record_of(size_t count, Member member, const SurvivorshipPolicy& policy,
                              const RanksOf& ranks_of, size_t spare_fields = 0) {
  GoldenRecord golden;
  if (count == 0) return golden;

  // Every (field, record) entry, grouped by field in ascending byte order and in record
  // order within a field: one pass over the data, however the fields are spread.
  struct Entry {
    std::string_view field;
    size_t record;
    const std::string_view* value;
  };
  // Clusters are mostly small: their lists stay on the stack.
  boost::container::small_vector<Entry, 32> entries;
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += member(i).data.size();
  entries.reserve(total);
  for (size_t i = 0; i < count; ++i) {
    for (const auto& [field, value] : member(i).data) entries.push_back({field, i, &value});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.field != b.field ? a.field < b.field : a.record < b.record;
  });

  size_t fields = 0;
  for (size_t e = 0; e < entries.size(); ++e) {
    if (e == 0 || entries[e].field != entries[e - 1].field) ++fields;
  }
  golden.reserve(fields + spare_fields);

  boost::container::small_vector<Candidate, 8> candidates;
  for (size_t lo = 0; lo < entries.size();) {
    size_t hi = lo;
    candidates.clear();
    while (hi < entries.size() && entries[hi].field == entries[lo].field) {
      candidates.push_back({&member(entries[hi].record), entries[hi].value});
      ++hi;
    }
    const std::string_view field = entries[lo].field;
    auto policy_it = policy.field_policies.find(field);
    const FieldSurvivorshipPolicy* field_policy =
        policy_it == policy.field_policies.end() ? nullptr : &policy_it->second;
    if (std::optional<std::string> value =
            apply_strategy(candidates, field_policy, policy.default_strategy,
                           field_policy ? ranks_of(field_policy) : nullptr)) {
      golden.emplace_hint(golden.end(), std::string(field), std::move(*value));
    }
    lo = hi;
  }
  return golden;
}

}  // namespace

SurvivorshipEngine::SurvivorshipEngine(const SurvivorshipPolicy& policy) : policy_(policy) {
  for (const auto& [field, field_policy] : policy.field_policies) {
    if (!field_policy.source_priority || field_policy.source_priority->size() <= kShortList) {
      continue;
    }
    const std::vector<std::string>& priority = *field_policy.source_priority;
    SourceRanks& ranks = ranks_[&field_policy];
    ranks.reserve(priority.size());
    for (size_t k = 0; k < priority.size(); ++k) ranks.try_emplace(priority[k], k);
  }
}

const SurvivorshipEngine::SourceRanks* SurvivorshipEngine::ranks_of(
    const FieldSurvivorshipPolicy* field_policy) const {
  if (ranks_.empty()) return nullptr;
  const auto it = ranks_.find(field_policy);
  return it == ranks_.end() ? nullptr : &it->second;
}

GoldenRecord SurvivorshipEngine::golden_record_of_members(
    std::span<const NormalizedEntity* const> records, size_t spare_fields) const {
  return golden_record_of(
      records.size(), [records](size_t i) -> const NormalizedEntity& { return *records[i]; },
      policy_, [this](const FieldSurvivorshipPolicy* f) { return ranks_of(f); }, spare_fields);
}

GoldenRecord SurvivorshipEngine::construct_golden_record(
    std::span<const NormalizedEntity> records, const SurvivorshipPolicy& policy) {
  const SurvivorshipEngine engine(policy);
  return golden_record_of(
      records.size(), [records](size_t i) -> const NormalizedEntity& { return records[i]; },
      policy, [&engine](const FieldSurvivorshipPolicy* f) { return engine.ranks_of(f); });
}

GoldenRecord SurvivorshipEngine::construct_golden_record_of_members(
    std::span<const NormalizedEntity* const> records, const SurvivorshipPolicy& policy,
    size_t spare_fields) {
  return SurvivorshipEngine(policy).golden_record_of_members(records, spare_fields);
}

}  // namespace osmira_core::engine
