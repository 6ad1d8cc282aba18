// Telemetry of one reconciliation run: how many blocks blocking formed, how many pairs were
// evaluated, how the decisions split between merge, review and no-merge, and for each match
// rule how often it was evaluated and matched and its average score.
//
// `TelemetryCollector` accumulates the counters of a run and turns into the result record
// `ReconciliationTelemetry`. Pair evaluation runs on many workers; instead of one collector
// behind a mutex taken for every pair, each worker keeps a `PairTally` of its own (indexed by
// rule position, so recording a pair costs no lock and no name look-up) and the tallies are
// folded into the collector once the parallel stage is over. Every counter is an integer
// sum and the average score is taken over the scores in ascending order, so the result is
// the same whatever the number of workers and the order in which they recorded pairs.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/value.h"
#include "core/engine/types.h"

namespace osmira_core::engine::observability {

// A multiset of scores. Scores repeat a lot (exact rules only ever give 0 and 1), so they are
// kept as value -> count rather than as a list: the memory is bounded by the number of
// distinct scores instead of growing with every evaluated pair, and the ascending-order sum
// is still taken one score at a time, exactly as over the sorted list.
class ScoreTally {
 public:
  // 0.0 and 1.0, by far the most frequent scores, are counted without a map look-up.
  void add(double score) {
    if (score == 1.0) {
      ++ones_;
    } else if (score == 0.0 && !std::signbit(score)) {
      ++zeros_;
    } else {
      ++counts_[std::bit_cast<uint64_t>(score)];
    }
  }
  void merge(const ScoreTally& other);
  // The scores added up one by one in ascending order (NaN last), starting from 0.0.
  double ascending_sum() const;

 private:
  uint64_t zeros_ = 0;
  uint64_t ones_ = 0;
  // Bit pattern of the score -> count. Not keyed: the scores are the engine's own results,
  // whose bits no caller sets one by one, and the table mixes them.
  boost::unordered_flat_map<uint64_t, uint64_t> counts_;
};

struct RuleAccumulator {
  uint64_t evaluated = 0;
  uint64_t matched = 0;
  uint64_t skipped = 0;  // nothing skips a rule in this system
  ScoreTally scores;

  void merge(const RuleAccumulator& other);
};

struct RuleTelemetry {
  std::string rule_name;
  uint64_t evaluated = 0;
  uint64_t matched = 0;
  uint64_t skipped = 0;
  std::optional<std::string> skip_reason;  // never set in this system
  double avg_score = 0.0;
};

struct ReconciliationTelemetry {
  std::vector<RuleTelemetry> rule_telemetry;  // by rule name, byte order
  uint64_t blocking_groups = 0;
  uint64_t pairs_evaluated = 0;
  // "merge", "review", "nomerge" -> count; only decisions that occurred.
  std::map<std::string, uint64_t, std::less<>> decisions_by_type;
  std::optional<std::string> scoring_method;  // filled in by the run
  std::optional<double> merge_threshold;      // filled in by the run
  uint64_t oversized_blocking_groups = 0;
};

// Document-tree forms. "skip_reason" is always present (null when absent); "scoring_method"
// and "merge_threshold" only when set, "oversized_blocking_groups" only when not 0; floats
// that are not finite are written as null.
osmira_base::Value to_json(const RuleTelemetry& telemetry);
osmira_base::Value to_json(const ReconciliationTelemetry& telemetry);

class TelemetryCollector {
 public:
  // Records one evaluated pair: its decision name ("merge", "review" or "nomerge") and the
  // results of its rules (a rule that appears twice is counted twice). Not thread-safe.
  void record_pair(std::span<const types::RuleResult> results, std::string_view decision_name);

  // Folds counts gathered elsewhere into this collector.
  void add_pairs(std::string_view decision_name, uint64_t pairs);
  void add_rule(std::string_view rule_name, const RuleAccumulator& accumulator);

  // The summary, with `scoring_method` and `merge_threshold` left for the caller.
  ReconciliationTelemetry into_telemetry() &&;

  // Set by the run before pairs are recorded.
  uint64_t blocking_groups = 0;
  uint64_t oversized_blocking_groups = 0;

 private:
  using NameMap = boost::unordered_flat_map<std::string, RuleAccumulator, types::StringHash,
                                            std::equal_to<>>;
  NameMap rules_;
  boost::unordered_flat_map<std::string, uint64_t, types::StringHash, std::equal_to<>> decisions_;
  uint64_t pairs_evaluated_ = 0;
};

// The counters of one worker, by position of the rule in the engine's rule list. Rules that
// share a name are told apart here and joined when the tally is folded into a collector.
class PairTally {
 public:
  explicit PairTally(size_t rule_count = 0) : rules_(rule_count) {}

  // One evaluated pair with the given decision; its rule results follow by `record_rule`.
  void record_decision(types::Decision decision) { ++decisions_[static_cast<size_t>(decision)]; }
  void record_rule(size_t rule_index, double score, bool matched) {
    RuleAccumulator& acc = rules_[rule_index];
    ++acc.evaluated;
    if (matched) ++acc.matched;
    acc.scores.add(score);
  }

  // Adds this tally to `collector`; `rule_names[i]` is the name of the rule at position i.
  void fold_into(TelemetryCollector& collector,
                 std::span<const std::string_view> rule_names) const;

 private:
  std::vector<RuleAccumulator> rules_;
  uint64_t decisions_[3] = {0, 0, 0};  // by Decision
};

}  // namespace osmira_core::engine::observability
