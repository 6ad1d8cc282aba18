#include "core/engine/observability.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

namespace osmira_core::engine::observability {
namespace {

using osmira_base::Value;

Value float_value(double x) { return std::isfinite(x) ? Value(x) : Value(); }

}  // namespace

void ScoreTally::merge(const ScoreTally& other) {
  zeros_ += other.zeros_;
  ones_ += other.ones_;
  for (const auto& [bits, count] : other.counts_) counts_[bits] += count;
}

double ScoreTally::ascending_sum() const {
  std::vector<std::pair<double, uint64_t>> values;
  values.reserve(counts_.size() + 1);
  for (const auto& [bits, count] : counts_) values.emplace_back(std::bit_cast<double>(bits), count);
  if (ones_ != 0) values.emplace_back(1.0, ones_);
  // Ascending, NaN last. Zeros (of either sign) are left out: the sum starts at +0.0 and so
  // never becomes -0.0, and adding a zero to it changes nothing.
  std::sort(values.begin(), values.end(), [](const auto& x, const auto& y) {
    if (std::isnan(x.first)) return false;
    if (std::isnan(y.first)) return true;
    return x.first < y.first;
  });
  double sum = 0.0;
  for (const auto& [value, count] : values) {
    if (value == 0.0) continue;
    for (uint64_t k = 0; k < count; ++k) sum += value;
  }
  return sum;
}

void RuleAccumulator::merge(const RuleAccumulator& other) {
  evaluated += other.evaluated;
  matched += other.matched;
  skipped += other.skipped;
  scores.merge(other.scores);
}

Value to_json(const RuleTelemetry& t) {
  Value out = Value::object();
  out.set("rule_name", Value(t.rule_name));
  out.set("evaluated", Value(t.evaluated));
  out.set("matched", Value(t.matched));
  out.set("skipped", Value(t.skipped));
  out.set("skip_reason", t.skip_reason ? Value(*t.skip_reason) : Value());
  out.set("avg_score", float_value(t.avg_score));
  return out;
}

Value to_json(const ReconciliationTelemetry& t) {
  Value out = Value::object();
  Value rules = Value::array();
  for (const RuleTelemetry& r : t.rule_telemetry) rules.push(to_json(r));
  out.set("rule_telemetry", std::move(rules));
  out.set("blocking_groups", Value(t.blocking_groups));
  out.set("pairs_evaluated", Value(t.pairs_evaluated));
  Value decisions = Value::object();
  for (const auto& [name, count] : t.decisions_by_type) decisions.set(name, Value(count));
  out.set("decisions_by_type", std::move(decisions));
  if (t.scoring_method) out.set("scoring_method", Value(*t.scoring_method));
  if (t.merge_threshold) out.set("merge_threshold", float_value(*t.merge_threshold));
  if (t.oversized_blocking_groups != 0) {
    out.set("oversized_blocking_groups", Value(t.oversized_blocking_groups));
  }
  return out;
}

void TelemetryCollector::record_pair(std::span<const types::RuleResult> results,
                                     std::string_view decision_name) {
  add_pairs(decision_name, 1);
  for (const types::RuleResult& r : results) {
    auto it = rules_.find(std::string_view(r.rule_name));
    if (it == rules_.end()) it = rules_.emplace(r.rule_name, RuleAccumulator{}).first;
    RuleAccumulator& acc = it->second;
    ++acc.evaluated;
    acc.scores.add(r.score);
    if (r.matched) ++acc.matched;
  }
}

void TelemetryCollector::add_pairs(std::string_view decision_name, uint64_t pairs) {
  if (pairs == 0) return;
  pairs_evaluated_ += pairs;
  auto it = decisions_.find(decision_name);
  if (it == decisions_.end()) it = decisions_.emplace(std::string(decision_name), 0).first;
  it->second += pairs;
}

void TelemetryCollector::add_rule(std::string_view rule_name,
                                  const RuleAccumulator& accumulator) {
  if (accumulator.evaluated == 0) return;  // a rule appears once it has a recorded result
  auto it = rules_.find(rule_name);
  if (it == rules_.end()) it = rules_.emplace(std::string(rule_name), RuleAccumulator{}).first;
  it->second.merge(accumulator);
}

ReconciliationTelemetry TelemetryCollector::into_telemetry() && {
  ReconciliationTelemetry out;
  out.rule_telemetry.reserve(rules_.size());
  for (auto& [name, acc] : rules_) {
    RuleTelemetry rule;
    rule.rule_name = name;
    rule.evaluated = acc.evaluated;
    rule.matched = acc.matched;
    rule.skipped = acc.skipped;
    rule.avg_score =
        acc.evaluated == 0 ? 0.0 : acc.scores.ascending_sum() / static_cast<double>(acc.evaluated);
    out.rule_telemetry.push_back(std::move(rule));
  }
  // std::string compares bytes as unsigned char: ascending byte order, prefixes first.
  std::sort(out.rule_telemetry.begin(), out.rule_telemetry.end(),
            [](const RuleTelemetry& x, const RuleTelemetry& y) { return x.rule_name < y.rule_name; });
  out.blocking_groups = blocking_groups;
  out.pairs_evaluated = pairs_evaluated_;
  out.oversized_blocking_groups = oversized_blocking_groups;
  for (auto& [name, count] : decisions_) out.decisions_by_type.emplace(name, count);
  rules_.clear();
  decisions_.clear();
  pairs_evaluated_ = 0;
  return out;
}

void PairTally::fold_into(TelemetryCollector& collector,
                          std::span<const std::string_view> rule_names) const {
  for (size_t d = 0; d < 3; ++d) {
    collector.add_pairs(types::decision_telemetry_key(static_cast<types::Decision>(d)),
                        decisions_[d]);
  }
  for (size_t i = 0; i < rules_.size() && i < rule_names.size(); ++i) {
    collector.add_rule(rule_names[i], rules_[i]);
  }
}

}  // namespace osmira_core::engine::observability
