#include "core/engine/observability.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/json_writer.h"

namespace osmira_core::engine::observability {
namespace {

using osmira_base::Value;
using types::Decision;
using types::RuleResult;

RuleResult result(std::string name, double score, bool matched) {
  RuleResult r;
  r.rule_name = std::move(name);
  r.score = score;
  r.matched = matched;
  return r;
}

std::string json(const ReconciliationTelemetry& t) {
  return osmira_base::compact_json(to_json(t));
}

TEST(TelemetryCollector, EmptyRun) {
  TelemetryCollector collector;
  collector.blocking_groups = 3;
  const ReconciliationTelemetry t = std::move(collector).into_telemetry();
  EXPECT_EQ(json(t),
            R"({"blocking_groups":3,"decisions_by_type":{},"pairs_evaluated":0,"rule_telemetry":[]})");
  ReconciliationTelemetry filled = t;
  filled.scoring_method = "weighted_sum";
  filled.merge_threshold = 0.85;
  filled.oversized_blocking_groups = 2;
  EXPECT_EQ(json(filled),
            R"({"blocking_groups":3,"decisions_by_type":{},"merge_threshold":0.85,)"
            R"("oversized_blocking_groups":2,"pairs_evaluated":0,"rule_telemetry":[],)"
            R"("scoring_method":"weighted_sum"})");
}

TEST(TelemetryCollector, CountsAndAverages) {
  TelemetryCollector collector;
  const std::vector<RuleResult> first = {result("b_rule", 1.0, true), result("a_rule", 1.0, false),
                                         result("a", 0.0, false)};
  const std::vector<RuleResult> second = {result("b_rule", 0.0, false), result("a_rule", 0.2, false),
                                          result("a", 0.0, false)};
  const std::vector<RuleResult> third = {result("b_rule", 0.5, true), result("a_rule", 0.9, true),
                                         result("a", 0.0, false)};
  collector.record_pair(first, "merge");
  collector.record_pair(second, "nomerge");
  collector.record_pair(third, "nomerge");
  const ReconciliationTelemetry t = std::move(collector).into_telemetry();
  ASSERT_EQ(t.rule_telemetry.size(), 3u);
  EXPECT_EQ(t.rule_telemetry[0].rule_name, "a");
  EXPECT_EQ(t.rule_telemetry[1].rule_name, "a_rule");
  EXPECT_EQ(t.rule_telemetry[2].rule_name, "b_rule");
  EXPECT_EQ(t.rule_telemetry[0].matched, 0u);  // evaluated every time, never matched
  EXPECT_EQ(t.rule_telemetry[0].evaluated, 3u);
  EXPECT_EQ(t.rule_telemetry[0].avg_score, 0.0);
  // 0.2 + 0.9 + 1.0 in ascending order, divided by 3: the 64-bit quotient.
  EXPECT_EQ(t.rule_telemetry[1].avg_score, 0.7000000000000001);
  EXPECT_EQ(t.rule_telemetry[1].matched, 1u);
  EXPECT_EQ(t.rule_telemetry[2].avg_score, 0.5);
  EXPECT_EQ(t.pairs_evaluated, 3u);
  EXPECT_EQ(t.decisions_by_type.size(), 2u);
  EXPECT_EQ(t.decisions_by_type.at("merge"), 1u);
  EXPECT_EQ(t.decisions_by_type.at("nomerge"), 2u);
  EXPECT_EQ(osmira_base::compact_json(to_json(t.rule_telemetry[2])),
            R"({"avg_score":0.5,"evaluated":3,"matched":2,"rule_name":"b_rule","skip_reason":null,"skipped":0})");
}

TEST(TelemetryCollector, ARuleListedTwiceCountsTwice) {
  TelemetryCollector collector;
  const std::vector<RuleResult> results = {result("r", 1.0, true), result("r", 0.0, false)};
  collector.record_pair(results, "review");
  const ReconciliationTelemetry t = std::move(collector).into_telemetry();
  ASSERT_EQ(t.rule_telemetry.size(), 1u);
  EXPECT_EQ(t.rule_telemetry[0].evaluated, 2u);
  EXPECT_EQ(t.rule_telemetry[0].matched, 1u);
  EXPECT_EQ(t.rule_telemetry[0].avg_score, 0.5);
  EXPECT_EQ(t.pairs_evaluated, 1u);
}

TEST(TelemetryJson, NonFiniteAverageIsNull) {
  RuleTelemetry rule;
  rule.rule_name = "r";
  rule.avg_score = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(osmira_base::compact_json(to_json(rule)),
            R"({"avg_score":null,"evaluated":0,"matched":0,"rule_name":"r","skip_reason":null,"skipped":0})");
}

TEST(ScoreTally, AscendingSumEqualsSumOfTheSortedList) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  for (int round = 0; round < 20; ++round) {
    std::vector<double> scores;
    ScoreTally tally;
    const int count = 1 + round * 97;
    for (int i = 0; i < count; ++i) {
      // A few repeated values among many distinct ones, as rule scores are.
      const double s = i % 3 == 0 ? 1.0 : (i % 5 == 0 ? 0.0 : uniform(rng));
      scores.push_back(s);
      tally.add(s);
    }
    std::sort(scores.begin(), scores.end());
    double sum = 0.0;
    for (double s : scores) sum += s;
    EXPECT_EQ(tally.ascending_sum(), sum) << round;
  }
}

TEST(PairTally, FoldingEqualsRecordingEveryPair) {
  // The same pairs recorded through the name-keyed path and through per-worker tallies split
  // in different ways give the same summary, bit for bit.
  const std::vector<std::string> names = {"email", "name", "email", "zip"};
  const std::vector<std::string_view> views(names.begin(), names.end());
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  struct Pair {
    Decision decision;
    std::vector<RuleResult> results;
  };
  std::vector<Pair> pairs;
  for (int p = 0; p < 500; ++p) {
    Pair pair{static_cast<Decision>(p % 3), {}};
    for (const std::string& n : names) {
      const double s = uniform(rng);
      pair.results.push_back(result(n, s, s > 0.5));
    }
    pairs.push_back(std::move(pair));
  }
  TelemetryCollector direct;
  for (const Pair& p : pairs) direct.record_pair(p.results, types::decision_telemetry_key(p.decision));
  const std::string want = json(std::move(direct).into_telemetry());

  for (size_t workers : {1u, 3u, 8u}) {
    std::vector<PairTally> tallies(workers, PairTally(names.size()));
    for (size_t p = 0; p < pairs.size(); ++p) {
      PairTally& t = tallies[(p * 7919) % workers];
      t.record_decision(pairs[p].decision);
      for (size_t i = 0; i < names.size(); ++i) {
        t.record_rule(i, pairs[p].results[i].score, pairs[p].results[i].matched);
      }
    }
    TelemetryCollector folded;
    for (auto it = tallies.rbegin(); it != tallies.rend(); ++it) it->fold_into(folded, views);
    EXPECT_EQ(json(std::move(folded).into_telemetry()), want) << workers;
  }
}

}  // namespace
}  // namespace osmira_core::engine::observability
