#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/json_writer.h"
#include "base/unicode.h"
#include "core/engine/engine.h"
#include "engine_test_support.h"

namespace osmira_core::engine {
namespace {

namespace ir = osmira_common::ir;
using osmira_base::DateTime;
using osmira_base::Uuid;
using testing::entity;
using testing::id;
using testing::plan_with;
using types::Decision;
using types::MatchDecision;
using types::NormalizedEntity;

std::string decisions_json(const std::vector<MatchDecision>& decisions) {
  osmira_base::Value list = osmira_base::Value::array();
  for (const MatchDecision& d : decisions) list.push(types::to_json(d));
  return osmira_base::compact_json(list);
}

std::string telemetry_json(const observability::ReconciliationTelemetry& t) {
  return osmira_base::compact_json(observability::to_json(t));
}

// (a, b) identifier numbers of the decisions, in order.
std::vector<std::pair<uint32_t, uint32_t>> pairs_of(const std::vector<MatchDecision>& decisions) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const MatchDecision& d : decisions) {
    out.emplace_back(d.entity_a_id.bytes[15] | (d.entity_a_id.bytes[14] << 8),
                     d.entity_b_id.bytes[15] | (d.entity_b_id.bytes[14] << 8));
  }
  return out;
}

// Blocks on the "key" field; one exact rule on "f" that merges equal values.
ir::IdentityPlan keyed_plan() {
  ir::IdentityPlan plan = plan_with({testing::exact_rule("e", "f")});
  plan.blocking.keys = {testing::blocking_key({"key"})};
  return plan;
}

TEST(Reconcile, EmptyInput) {
  ir::IdentityPlan plan = keyed_plan();
  plan.blocking.neighborhood_window = 3;
  plan.blocking.sort_fields = {"f"};
  const auto engine = ReconciliationEngine::from_plan(plan);
  const ReconcileOutput out = engine.reconcile_with_telemetry({}, {});
  EXPECT_TRUE(out.decisions.empty());
  EXPECT_EQ(telemetry_json(out.telemetry),
            R"({"blocking_groups":0,"decisions_by_type":{},"merge_threshold":0.8,)"
            R"("pairs_evaluated":0,"rule_telemetry":[],"scoring_method":"weighted_sum"})");
}

TEST(Reconcile, OneSharedKeyGivesOnePair) {
  const auto engine = ReconciliationEngine::from_plan(keyed_plan());
  const std::vector<NormalizedEntity> records = {entity(1, {{"key", "k"}, {"f", "x"}}),
                                                 entity(2, {{"key", "k"}, {"f", "x"}})};
  const ReconcileOutput out = engine.reconcile_with_telemetry(records, {});
  ASSERT_EQ(out.decisions.size(), 1u);
  EXPECT_EQ(out.decisions[0].blocking_key, std::optional<std::string>("k"));
  EXPECT_EQ(out.decisions[0].decision, Decision::kMerge);
  EXPECT_EQ(out.telemetry.blocking_groups, 1u);
  EXPECT_EQ(out.telemetry.pairs_evaluated, 1u);

  const std::vector<NormalizedEntity> apart = {entity(1, {{"key", "a"}}), entity(2, {{"key", "b"}}),
                                               entity(3, {{"key", "c"}})};
  const ReconcileOutput none = engine.reconcile_with_telemetry(apart, {});
  EXPECT_TRUE(none.decisions.empty());
  EXPECT_EQ(none.telemetry.blocking_groups, 3u);
  EXPECT_EQ(none.telemetry.pairs_evaluated, 0u);
}

// The run hands over its record index (the last record of an identifier stands for it) and
// its per-record preparation, batch and incremental alike.
TEST(Reconcile, HandsOverItsRecordIndexAndWorkingState) {
  const auto engine = ReconciliationEngine::from_plan(keyed_plan());
  std::vector<NormalizedEntity> records = {entity(1, {{"key", "k"}}), entity(2, {{"key", "k"}}),
                                           entity(1, {{"key", "j"}}), entity(3, {})};
  const EntityIdSet existing = {records[1].id};
  for (const bool incremental : {false, true}) {
    const ReconcileOutput out =
        incremental ? engine.reconcile_incremental_with_telemetry(records, existing, {})
                    : engine.reconcile_with_telemetry(records, {});
    ASSERT_NE(out.record_index, nullptr);
    ASSERT_NE(out.working_state, nullptr);
    const RecordIndex& index = *out.record_index;
    EXPECT_EQ(index.size(), 3u);
    EXPECT_EQ(index.find(records[0].id), 2u);
    EXPECT_EQ(index.find(records[1].id), 1u);
    EXPECT_EQ(index.find(records[3].id), 3u);
    EXPECT_FALSE(index.stands(0));
    EXPECT_TRUE(index.stands(2));
  }
}

// A raised flag stops the run with Cancelled, which carries what the run held (for the
// catcher to destroy); one never raised changes nothing.
TEST(Reconcile, CancelFlag) {
  ir::IdentityPlan plan = keyed_plan();
  plan.blocking.neighborhood_window = 3;
  plan.blocking.sort_fields = {"f"};
  const auto engine = ReconciliationEngine::from_plan(plan);
  std::vector<NormalizedEntity> records;
  for (uint32_t i = 0; i < 300; ++i) {
    records.push_back(entity(i, {{"key", i % 2 ? "k" : "j"}, {"f", std::to_string(i % 7).c_str()}}));
  }
  const EntityIdSet existing = {records[0].id, records[1].id};
  for (const bool incremental : {false, true}) {
    const auto run = [&](const osmira_base::CancelFlag* cancel) {
      return incremental ? engine.reconcile_incremental_with_telemetry(records, existing, {}, cancel)
                         : engine.reconcile_with_telemetry(records, {}, cancel);
    };
    const ReconcileOutput plain = run(nullptr);
    osmira_base::CancelFlag flag;
    const ReconcileOutput flagged = run(&flag);
    EXPECT_EQ(decisions_json(flagged.decisions), decisions_json(plain.decisions));
    EXPECT_EQ(telemetry_json(flagged.telemetry), telemetry_json(plain.telemetry));
    flag.raise();
    try {
      run(&flag);
      ADD_FAILURE() << "not cancelled";
    } catch (const osmira_base::Cancelled& cancelled) {
      EXPECT_EQ(cancelled.left.size(), 1u);
    }
  }
  // Raised by another thread during a run on all workers: the run stops with Cancelled, or
  // has ended first with the plain result.
  records.clear();
  for (uint32_t i = 0; i < 3000; ++i) {
    records.push_back(entity(i, {{"key", "k"}, {"f", std::to_string(i % 1000).c_str()}}));
  }
  const ReconcileOutput plain = engine.reconcile_with_telemetry(records, {});
  osmira_base::CancelFlag flag;
  std::thread raiser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    flag.raise();
  });
  try {
    EXPECT_EQ(decisions_json(engine.reconcile_with_telemetry(records, {}, &flag).decisions),
              decisions_json(plain.decisions));
  } catch (const osmira_base::Cancelled&) {
  }
  raiser.join();
}

TEST(Reconcile, PairInTwoBlocksIsEvaluatedTwiceAndReturnedOnce) {
  ir::IdentityPlan plan = keyed_plan();
  plan.blocking.keys.push_back(testing::blocking_key({"zip"}));
  const auto engine = ReconciliationEngine::from_plan(plan);
  const std::vector<NormalizedEntity> records = {
      entity(1, {{"key", "k"}, {"zip", "z"}, {"f", "x"}}),
      entity(2, {{"key", "k"}, {"zip", "z"}, {"f", "x"}})};
  const ReconcileOutput out = engine.reconcile_with_telemetry(records, {});
  ASSERT_EQ(out.decisions.size(), 1u);
  EXPECT_EQ(out.decisions[0].blocking_key, std::optional<std::string>("k"));  // first key
  EXPECT_EQ(out.telemetry.pairs_evaluated, 2u);
  EXPECT_EQ(out.telemetry.decisions_by_type.at("merge"), 2u);
  EXPECT_EQ(out.telemetry.rule_telemetry.at(0).evaluated, 2u);
}

TEST(Reconcile, OversizedBlocksAreCountedAndEvaluatedInFull) {
  const auto engine = ReconciliationEngine::from_plan(keyed_plan());
  for (const uint32_t size : {1000u, 1001u}) {
    std::vector<NormalizedEntity> records;
    for (uint32_t i = 0; i < size; ++i) records.push_back(entity(i, {{"key", "k"}, {"f", std::to_string(i).c_str()}}));
    const ReconcileOutput out = engine.reconcile_with_telemetry(records, {});
    EXPECT_EQ(out.telemetry.oversized_blocking_groups, size > 1000 ? 1u : 0u);
    EXPECT_EQ(out.telemetry.pairs_evaluated, uint64_t{size} * (size - 1) / 2);
    EXPECT_EQ(out.telemetry.decisions_by_type.at("nomerge"), uint64_t{size} * (size - 1) / 2);
    const std::string text = telemetry_json(out.telemetry);
    EXPECT_EQ(text.find("oversized") != std::string::npos, size > 1000);
  }
  // A record given the block's key twice is one member: 600 records are not oversized.
  ir::IdentityPlan twice = keyed_plan();
  twice.blocking.keys.push_back(testing::blocking_key({"key"}));
  std::vector<NormalizedEntity> records;
  for (uint32_t i = 0; i < 600; ++i) records.push_back(entity(i, {{"key", "k"}, {"f", std::to_string(i).c_str()}}));
  const ReconcileOutput out = ReconciliationEngine::from_plan(twice).reconcile_with_telemetry(records, {});
  EXPECT_EQ(out.telemetry.oversized_blocking_groups, 0u);
  EXPECT_EQ(out.telemetry.pairs_evaluated, 600u * 599 / 2);
}

TEST(Reconcile, MembersArePairedInExternalIdOrder) {
  const auto engine = ReconciliationEngine::from_plan(keyed_plan());
  const std::vector<NormalizedEntity> records = {entity(1, {{"key", "k"}, {"f", "x"}}, "b"),
                                                 entity(2, {{"key", "k"}, {"f", "x"}}, "a")};
  const ReconcileOutput out = engine.reconcile_with_telemetry(records, {});
  ASSERT_EQ(out.decisions.size(), 1u);
  EXPECT_EQ(out.decisions[0].entity_a_id, id(2));
  EXPECT_EQ(out.decisions[0].entity_b_id, id(1));

  // Equal external ids: by identifier.
  const std::vector<NormalizedEntity> tied = {entity(9, {{"key", "k"}, {"f", "x"}}, "same"),
                                              entity(4, {{"key", "k"}, {"f", "x"}}, "same")};
  const ReconcileOutput tie = engine.reconcile_with_telemetry(tied, {});
  ASSERT_EQ(tie.decisions.size(), 1u);
  EXPECT_EQ(tie.decisions[0].entity_a_id, id(4));
}

TEST(Reconcile, ARecordIsNeverPairedWithItself) {
  // Two blocking keys that give the same text list the record twice in one block; pairing
  // it with itself would return a record as its own duplicate.
  ir::IdentityPlan plan = keyed_plan();
  plan.blocking.keys = {testing::blocking_key({"first"}), testing::blocking_key({"last"})};
  const auto engine = ReconciliationEngine::from_plan(plan);
  const std::vector<NormalizedEntity> records = {
      entity(1, {{"first", "james"}, {"last", "james"}, {"f", "x"}}),
      entity(2, {{"first", "james"}, {"last", "smith"}, {"f", "x"}})};
  const ReconcileOutput out = engine.reconcile_with_telemetry(records, {});
  ASSERT_EQ(out.decisions.size(), 1u);
  EXPECT_NE(out.decisions[0].entity_a_id, out.decisions[0].entity_b_id);
  // Block "james" lists 1 once and 2: the pair (1, 2) is evaluated once, (1, 1) never.
  EXPECT_EQ(out.telemetry.pairs_evaluated, 1u);

  // Two records sharing an identifier are neighbours in the sorted pass: not a pair either.
  ir::IdentityPlan pass = keyed_plan();
  pass.blocking.keys.clear();
  pass.blocking.sort_fields = {"f"};
  pass.blocking.neighborhood_window = 3;
  const std::vector<NormalizedEntity> shared = {entity(5, {{"f", "x"}}, "a"),
                                                entity(5, {{"f", "x"}}, "b"),
                                                entity(6, {{"f", "x"}})};
  const ReconcileOutput sorted = ReconciliationEngine::from_plan(pass).reconcile_with_telemetry(shared, {});
  ASSERT_EQ(sorted.decisions.size(), 1u);
  EXPECT_EQ(pairs_of(sorted.decisions), (std::vector<std::pair<uint32_t, uint32_t>>{{5, 6}}));
  EXPECT_EQ(sorted.telemetry.pairs_evaluated, 1u);
}

// A pair is counted once per block the two records share, however many times their keys
// give that block's key (a key list given twice, equal values in two key lists, a trigram
// repeating in a value); its decision is returned once, under the first shared block in key
// order. Every pair here matches, so each count is also the "merge" count.
TEST(Reconcile, SharedPairsAreCountedOncePerSharedBlock) {
  using Fields = std::vector<std::pair<std::string, std::string>>;
  using ir::BlockingTransformation::kTrigrams;
  struct Row {
    const char* name;
    std::vector<ir::BlockingKey> keys;
    std::vector<std::pair<uint32_t, Fields>> records;
    uint64_t pairs_evaluated;  // blocks shared, summed over the pairs
    std::vector<std::string> blocking_keys;  // of the decisions, in decision order
  };
  const auto key = [](const char* field) { return testing::blocking_key({field}); };
  const auto trigrams = [](const char* field) { return testing::blocking_key({field}, {kTrigrams}); };
  const Row rows[] = {
      {"two blocks share the pair", {key("a"), key("b")},
       {{1, {{"a", "p"}, {"b", "q"}}}, {2, {{"a", "p"}, {"b", "q"}}}}, 2, {"p"}},
      {"first block in key order names it", {key("b"), key("a")},
       {{1, {{"a", "z"}, {"b", "c"}}}, {2, {{"a", "z"}, {"b", "c"}}}}, 2, {"c"}},
      {"a key list given twice", {key("a"), key("a")},
       {{1, {{"a", "p"}}}, {2, {{"a", "p"}}}}, 1, {"p"}},
      {"equal values in two key lists", {key("phone"), key("mobile")},
       {{1, {{"phone", "555"}, {"mobile", "555"}}}, {2, {{"phone", "555"}, {"mobile", "555"}}}},
       1, {"555"}},
      {"equal values in one record only", {key("phone"), key("mobile")},
       {{1, {{"phone", "555"}, {"mobile", "555"}}}, {2, {{"phone", "555"}, {"mobile", "777"}}}},
       1, {"555"}},
      {"one trigram three times", {trigrams("n")},  // aaa x3
       {{1, {{"n", "aaaaa"}}}, {2, {{"n", "aaaaa"}}}}, 1, {"aaa"}},
      {"trigrams repeating in a name", {trigrams("n")},  // Ann, nna twice; 6 distinct
       {{1, {{"n", "Anna Annan"}}}, {2, {{"n", "Anna Annan"}}}}, 6, {" An"}},
      {"a trigram repeating in one value", {trigrams("n")},  // ban, ana, nan, ana
       {{1, {{"n", "banana"}}}, {2, {{"n", "banana"}}}, {3, {{"n", "ana"}}}}, 3 + 1 + 1,
       {"ana", "ana", "ana"}},
      {"a shared pair next to pairs of one block", {key("a"), key("b")},
       {{1, {{"a", "p"}, {"b", "q"}}}, {2, {{"a", "p"}, {"b", "q"}}}, {3, {{"a", "p"}, {"b", "z"}}}},
       4, {"p", "p", "p"}},
      // Only the last record of identifier 1 takes part: the pair meets in block "p" alone.
      {"records sharing an identifier", {key("a"), key("b")},
       {{1, {{"a", "p"}, {"b", "q"}}}, {1, {{"a", "p"}, {"b", "r"}}}, {2, {{"a", "p"}, {"b", "q"}}}},
       1, {"p"}},
  };
  for (const Row& row : rows) {
    ir::IdentityPlan plan = keyed_plan();
    plan.blocking.keys = row.keys;
    std::vector<NormalizedEntity> records;
    for (const auto& [n, fields] : row.records) {
      NormalizedEntity e = entity(n, {{"f", "x"}}, "ext-" + std::to_string(records.size()));
      for (const auto& [field, value] : fields) e.data.insert_or_assign(field, value);
      records.push_back(std::move(e));
    }
    const ReconcileOutput out = ReconciliationEngine::from_plan(plan).reconcile_with_telemetry(records, {});
    EXPECT_EQ(out.telemetry.pairs_evaluated, row.pairs_evaluated) << row.name;
    EXPECT_EQ(out.telemetry.decisions_by_type,
              (std::map<std::string, uint64_t, std::less<>>{{"merge", row.pairs_evaluated}}))
        << row.name;
    ASSERT_EQ(out.telemetry.rule_telemetry.size(), 1u) << row.name;
    EXPECT_EQ(out.telemetry.rule_telemetry[0].evaluated, row.pairs_evaluated) << row.name;
    EXPECT_EQ(out.telemetry.rule_telemetry[0].matched, row.pairs_evaluated) << row.name;
    std::vector<std::string> keys;
    for (const MatchDecision& d : out.decisions) keys.push_back(d.blocking_key.value_or(""));
    EXPECT_EQ(keys, row.blocking_keys) << row.name;
  }
}

TEST(Reconcile, ExcludedRecordsSkipBlockingButMeetTheNeighbourhoodPass) {
  ir::IdentityPlan plan = keyed_plan();
  plan.exclusions = {ir::CompiledExclusion{ir::CompiledExclusion::FieldValue{"status", "eq", osmira_base::Value("test")}}};
  const std::vector<NormalizedEntity> records = {
      entity(1, {{"key", "k"}, {"f", "x"}, {"status", "test"}}),
      entity(2, {{"key", "k"}, {"f", "x"}})};
  {
    const ReconcileOutput out = ReconciliationEngine::from_plan(plan).reconcile_with_telemetry(records, {});
    EXPECT_TRUE(out.decisions.empty());
    EXPECT_EQ(out.telemetry.blocking_groups, 1u);
    EXPECT_EQ(out.telemetry.pairs_evaluated, 0u);
  }
  plan.blocking.neighborhood_window = 2;
  plan.blocking.sort_fields = {"f"};
  const ReconcileOutput out = ReconciliationEngine::from_plan(plan).reconcile_with_telemetry(records, {});
  EXPECT_TRUE(out.decisions.empty());
  EXPECT_EQ(out.telemetry.pairs_evaluated, 1u);
  EXPECT_EQ(out.telemetry.decisions_by_type.at("nomerge"), 1u);
  EXPECT_TRUE(out.telemetry.rule_telemetry.empty());  // decided before the rules
}

// Records r0..r4 that sort in that order by "name" and share no blocking key.
std::vector<NormalizedEntity> five_sorted() {
  std::vector<NormalizedEntity> records;
  const char* names[] = {"Delta", "alpha", "Echo", "charlie", "Bravo"};
  for (uint32_t i = 0; i < 5; ++i) records.push_back(entity(i + 1, {{"name", names[i]}, {"f", "x"}}));
  return records;  // sorted: alpha(2) Bravo(5) charlie(4) Delta(1) Echo(3)
}

TEST(Reconcile, SortedNeighbourhoodWindows) {
  ir::IdentityPlan plan = keyed_plan();
  plan.blocking.sort_fields = {"name"};
  struct Row {
    std::optional<uint64_t> window;
    std::vector<std::pair<uint32_t, uint32_t>> pairs;  // in evaluation order, as (a, b)
  };
  const Row rows[] = {
      {3, {{2, 5}, {2, 4}, {5, 4}, {5, 1}, {4, 1}, {4, 3}, {1, 3}}},
      {1, {}},
      {0, {}},
      {std::nullopt, {}},
      {100, {{2, 5}, {2, 4}, {2, 1}, {2, 3}, {5, 4}, {5, 1}, {5, 3}, {4, 1}, {4, 3}, {1, 3}}},
  };
  for (const Row& row : rows) {
    plan.blocking.neighborhood_window = row.window;
    const auto engine = ReconciliationEngine::from_plan(plan);
    const ReconcileOutput out = engine.reconcile_with_telemetry(five_sorted(), {});
    // All confidences are 1.0 and there are no tie-breakers: the final order is the pair-key
    // order, so compare as sets.
    std::set<std::pair<uint32_t, uint32_t>> got, want;
    for (const auto& p : pairs_of(out.decisions)) got.insert(p);
    for (const auto& p : row.pairs) want.insert(p);
    EXPECT_EQ(got, want) << row.window.value_or(999);
    EXPECT_EQ(out.telemetry.pairs_evaluated, row.pairs.size());
    for (const MatchDecision& d : out.decisions) {
      EXPECT_EQ(d.blocking_key, std::optional<std::string>("SORTED_NEIGHBORHOOD"));
    }
  }
  // Without sort fields there is no pass, whatever the window.
  plan.blocking.neighborhood_window = 3;
  plan.blocking.sort_fields.clear();
  EXPECT_EQ(ReconciliationEngine::from_plan(plan).reconcile_with_telemetry(five_sorted(), {})
                .telemetry.pairs_evaluated,
            0u);
}

TEST(Reconcile, NeighbourhoodKeysAreLowerCasedAndColonSeparated) {
  ir::IdentityPlan plan = keyed_plan();
  plan.blocking.sort_fields = {"last", "first"};
  plan.blocking.neighborhood_window = 2;
  // Keys: "smith:anna:", "::", "smith:anna:" (from Smith/ANNA), "smith:bob:".
  const std::vector<NormalizedEntity> records = {
      entity(1, {{"last", "smith"}, {"first", "anna"}, {"f", "x"}}),
      entity(2, {{"f", "x"}}),
      entity(3, {{"last", "Smith"}, {"first", "ANNA"}, {"f", "x"}}),
      entity(4, {{"last", "smith"}, {"first", "bob"}, {"f", "x"}})};
  const ReconcileOutput out = ReconciliationEngine::from_plan(plan).reconcile_with_telemetry(records, {});
  std::set<std::pair<uint32_t, uint32_t>> got;
  for (const auto& p : pairs_of(out.decisions)) got.insert(p);
  EXPECT_EQ(got, (std::set<std::pair<uint32_t, uint32_t>>{{2, 1}, {1, 3}, {3, 4}}));
}

TEST(Reconcile, NeighbourhoodPassSkipsPairsDecidedInBlocks) {
  ir::IdentityPlan plan = keyed_plan();
  plan.blocking.sort_fields = {"key"};
  plan.blocking.neighborhood_window = 2;
  // 1 and 2 merge in their block: not evaluated again. 3 and 4 share a block but differ
  // (no-merge there), so the pass evaluates them again.
  const std::vector<NormalizedEntity> records = {
      entity(1, {{"key", "a"}, {"f", "x"}}), entity(2, {{"key", "a"}, {"f", "x"}}),
      entity(3, {{"key", "b"}, {"f", "y"}}), entity(4, {{"key", "b"}, {"f", "z"}})};
  const ReconcileOutput out = ReconciliationEngine::from_plan(plan).reconcile_with_telemetry(records, {});
  ASSERT_EQ(out.decisions.size(), 1u);
  EXPECT_EQ(out.decisions[0].blocking_key, std::optional<std::string>("a"));
  // Blocks: (1,2) merge, (3,4) no-merge. Pass over 1 2 3 4: (1,2) seen, (2,3) new, (3,4) again.
  EXPECT_EQ(out.telemetry.pairs_evaluated, 4u);
  EXPECT_EQ(out.telemetry.decisions_by_type.at("nomerge"), 3u);
}

TEST(Reconcile, DecisionOrder) {
  // (1,2) and (7,8) both score 1.0: (1,2) on one rule (its other rule lacks data), (7,8) on
  // two. (3,4) scores 0.5 (review) and always comes last.
  ir::IdentityPlan plan = plan_with({testing::exact_rule("e", "f"), testing::exact_rule("g", "g")});
  plan.decision.match_threshold = 0.9;
  plan.decision.review_threshold = 0.4;
  plan.blocking.keys = {testing::blocking_key({"key"})};
  auto records = std::vector<NormalizedEntity>{
      entity(7, {{"key", "a"}, {"f", "x"}, {"g", "y"}}),
      entity(8, {{"key", "a"}, {"f", "x"}, {"g", "y"}}),
      entity(1, {{"key", "b"}, {"f", "x"}}),
      entity(2, {{"key", "b"}, {"f", "x"}}),
      entity(3, {{"key", "c"}, {"f", "x"}, {"g", "y"}}),
      entity(4, {{"key", "c"}, {"f", "x"}, {"g", "z"}}),
  };
  records[0].last_updated = DateTime{100, 0};  // (7,8) holds the oldest record
  records[2].last_updated = DateTime{200, 0};
  using T = ir::CompiledTieBreaker;
  using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;
  const Pairs by_id = {{1, 2}, {7, 8}, {3, 4}};
  const Pairs seven_first = {{7, 8}, {1, 2}, {3, 4}};
  struct Row {
    std::vector<T> tie_breaking;
    int64_t time_of_1;  // last_updated of record 1
    Pairs want;
  };
  const Row rows[] = {
      {{}, 200, by_id},
      {{T::kLowestEntityId}, 200, by_id},
      {{T::kExactMatchPriority}, 200, seven_first},
      {{T::kEarliestTimestamp}, 200, seven_first},
      {{T::kEarliestTimestamp}, 50, by_id},
      {{T::kExactMatchPriority, T::kEarliestTimestamp}, 50, seven_first},
      {{T::kEarliestTimestamp, T::kExactMatchPriority}, 50, by_id},
      {{T::kLowestEntityId, T::kExactMatchPriority}, 50, by_id},
  };
  for (const Row& row : rows) {
    plan.decision.tie_breaking = row.tie_breaking;
    records[2].last_updated = DateTime{row.time_of_1, 0};
    const ReconcileOutput out = ReconciliationEngine::from_plan(plan).reconcile_with_telemetry(records, {});
    EXPECT_EQ(pairs_of(out.decisions), row.want) << row.tie_breaking.size() << " " << row.time_of_1;
  }
}

TEST(Reconcile, DecisionsBelowReviewAreCountedNotReturned) {
  const auto engine = ReconciliationEngine::from_plan(keyed_plan());
  const std::vector<NormalizedEntity> records = {entity(1, {{"key", "k"}, {"f", "x"}}),
                                                 entity(2, {{"key", "k"}, {"f", "y"}})};
  const ReconcileOutput out = engine.reconcile_with_telemetry(records, {});
  EXPECT_TRUE(out.decisions.empty());
  EXPECT_EQ(out.telemetry.pairs_evaluated, 1u);
  EXPECT_EQ(out.telemetry.decisions_by_type.at("nomerge"), 1u);
}

TEST(Reconcile, OutdatedRecordsAreDroppedUncounted) {
  const auto engine = ReconciliationEngine::from_plan(keyed_plan());
  std::vector<NormalizedEntity> records = {entity(1, {{"key", "k"}, {"f", "x"}}),
                                           entity(2, {{"key", "k"}, {"f", "x"}})};
  records[1].valid_to = DateTime{1000, 0};
  const ReconcileOutput out = engine.reconcile_with_telemetry(records, {});
  EXPECT_TRUE(out.decisions.empty());
  EXPECT_EQ(out.telemetry.pairs_evaluated, 0u);
  EXPECT_TRUE(out.telemetry.decisions_by_type.empty());
}

TEST(Reconcile, OverridesReachEveryPair) {
  const auto engine = ReconciliationEngine::from_plan(keyed_plan());
  const std::vector<NormalizedEntity> records = {entity(1, {{"key", "k"}, {"f", "x"}}),
                                                 entity(2, {{"key", "k"}, {"f", "y"}})};
  overrides::ManualOverride merge;
  merge.kind = overrides::OverrideKind::kMerge;
  merge.first_id = id(2);
  merge.second_id = id(1);
  const ReconcileOutput out = engine.reconcile_with_telemetry(records, std::vector{merge});
  ASSERT_EQ(out.decisions.size(), 1u);
  EXPECT_EQ(out.decisions[0].matched_on, std::vector<std::string>{"MANUAL_MERGE"});
}

TEST(ReconcileIncremental, PairsOfExistingRecordsAreSkipped) {
  const auto engine = ReconciliationEngine::from_plan(keyed_plan());
  const std::vector<NormalizedEntity> records = {entity(1, {{"key", "k"}, {"f", "x"}}),
                                                 entity(2, {{"key", "k"}, {"f", "x"}}),
                                                 entity(3, {{"key", "k"}, {"f", "x"}})};
  const EntityIdSet existing = {id(1), id(2)};
  const ReconcileOutput out = engine.reconcile_incremental_with_telemetry(records, existing, {});
  EXPECT_EQ(pairs_of(out.decisions), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 3}, {2, 3}}));
  EXPECT_EQ(out.telemetry.pairs_evaluated, 2u);

  const ReconcileOutput none = engine.reconcile_incremental_with_telemetry(records, {}, {});
  const ReconcileOutput batch = engine.reconcile_with_telemetry(records, {});
  EXPECT_EQ(decisions_json(none.decisions), decisions_json(batch.decisions));
  EXPECT_EQ(telemetry_json(none.telemetry), telemetry_json(batch.telemetry));
}

TEST(ReconcileIncremental, NeighbourhoodPassSkipsExistingPairsToo) {
  ir::IdentityPlan plan = keyed_plan();
  plan.blocking.sort_fields = {"name"};
  plan.blocking.neighborhood_window = 5;
  const EntityIdSet existing = {id(1), id(2), id(3)};
  const ReconcileOutput out = ReconciliationEngine::from_plan(plan).reconcile_incremental_with_telemetry(
      five_sorted(), existing, {});
  // Of the 10 pairs, the 3 among records 1..3 are skipped.
  EXPECT_EQ(out.telemetry.pairs_evaluated, 7u);
  for (const auto& [a, b] : pairs_of(out.decisions)) EXPECT_TRUE(a > 3 || b > 3);
}

// ---- Reference implementation and determinism ---------------------------------------------

// The run as a plain loop over the single-pair operation, recording telemetry pair by pair
// through the name-keyed collector, on the last record of each identifier only.
ReconcileOutput reference_run(const ReconciliationEngine& engine,
                              const std::vector<NormalizedEntity>& listed,
                              const EntityIdSet* existing) {
  std::map<Uuid, size_t> last;
  for (size_t i = 0; i < listed.size(); ++i) last[listed[i].id] = i;
  std::vector<NormalizedEntity> records;
  for (size_t i = 0; i < listed.size(); ++i) {
    if (last[listed[i].id] == i) records.push_back(listed[i]);
  }
  std::map<Uuid, const NormalizedEntity*> index;
  for (const auto& r : records) index[r.id] = &r;
  std::map<std::string, std::vector<Uuid>> blocks;
  for (const auto& r : records) {
    bool excluded = false;
    for (const auto& x : engine.settings().exclusions) excluded = excluded || ReconciliationEngine::matches_exclusion(r, x);
    if (excluded) continue;
    for (const auto& s : engine.settings().blocking_strategies) {
      for (const std::string& key : s->generate_block_key(r)) {
        std::vector<Uuid>& members = blocks[key];
        if (members.empty() || members.back() != r.id) members.push_back(r.id);  // once per block
      }
    }
  }
  observability::TelemetryCollector collector;
  collector.blocking_groups = blocks.size();
  const auto skip = [&](const Uuid& a, const Uuid& b) {
    return existing != nullptr && existing->contains(a) && existing->contains(b);
  };
  std::vector<MatchDecision> all;
  for (auto& [key, members] : blocks) {
    if (members.size() > 1000) ++collector.oversized_blocking_groups;
    std::stable_sort(members.begin(), members.end(), [&](const Uuid& x, const Uuid& y) {
      const auto& ex = index[x]->external_id;
      const auto& ey = index[y]->external_id;
      return ex != ey ? ex < ey : x < y;
    });
    for (size_t i = 0; i < members.size(); ++i) {
      for (size_t j = i + 1; j < members.size(); ++j) {
        if (skip(members[i], members[j])) continue;
        PairReconciliation p = engine.reconcile_pair_with_telemetry(*index[members[i]], *index[members[j]], {});
        if (p.telemetry) collector.record_pair(p.telemetry->rule_results, p.telemetry->decision_name);
        if (p.decision) {
          p.decision->blocking_key = key;
          all.push_back(*p.decision);
        }
      }
    }
  }
  std::set<std::pair<Uuid, Uuid>> seen;
  std::vector<MatchDecision> decisions;
  for (auto& d : all) {
    if (seen.insert(types::ordered_pair(d.entity_a_id, d.entity_b_id)).second) decisions.push_back(d);
  }
  if (engine.settings().neighborhood_window && !engine.settings().sort_fields.empty()) {
    std::vector<std::pair<std::string, size_t>> keyed;
    for (size_t i = 0; i < records.size(); ++i) {
      std::string key;
      for (const auto& f : engine.settings().sort_fields) {
        auto it = records[i].data.find(std::string_view(f));
        if (it != records[i].data.end()) key += osmira_base::unicode::to_lowercase(it->second);
        key += ":";
      }
      keyed.emplace_back(key, i);
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    const size_t n = keyed.size();
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = i + 1; j < std::min<size_t>(i + *engine.settings().neighborhood_window, n); ++j) {
        const auto& a = records[keyed[i].second];
        const auto& b = records[keyed[j].second];
        if (a.id == b.id || skip(a.id, b.id)) continue;
        if (!seen.insert(types::ordered_pair(a.id, b.id)).second) continue;
        PairReconciliation p = engine.reconcile_pair_with_telemetry(a, b, {});
        if (p.telemetry) collector.record_pair(p.telemetry->rule_results, p.telemetry->decision_name);
        if (p.decision) {
          p.decision->blocking_key = "SORTED_NEIGHBORHOOD";
          decisions.push_back(*p.decision);
        }
      }
    }
  }
  std::stable_sort(decisions.begin(), decisions.end(), [&](const MatchDecision& x, const MatchDecision& y) {
    if (x.confidence != y.confidence) return x.confidence > y.confidence;
    const auto kx = types::ordered_pair(x.entity_a_id, x.entity_b_id);
    const auto ky = types::ordered_pair(y.entity_a_id, y.entity_b_id);
    for (auto t : engine.settings().tie_breaking) {
      if (t == ir::CompiledTieBreaker::kExactMatchPriority) {
        const auto count = [](const MatchDecision& d) {
          return std::count_if(d.rule_results.begin(), d.rule_results.end(), [](const auto& r) {
            return std::fabs(r.score - 1.0) < std::numeric_limits<double>::epsilon();
          });
        };
        if (count(x) != count(y)) return count(x) > count(y);
      } else if (t == ir::CompiledTieBreaker::kLowestEntityId) {
        if (kx.first != ky.first) return kx.first < ky.first;
      } else {
        const auto time = [&](const MatchDecision& d) {
          return std::min(index[d.entity_a_id]->last_updated, index[d.entity_b_id]->last_updated);
        };
        if (time(x) != time(y)) return time(x) < time(y);
      }
    }
    return kx < ky;
  });
  ReconcileOutput out;
  out.decisions = std::move(decisions);
  out.telemetry = std::move(collector).into_telemetry();
  out.telemetry.scoring_method = std::string(osmira_common::enum_text(engine.settings().scoring_method));
  out.telemetry.merge_threshold = engine.settings().match_threshold;
  return out;
}

// People with shared names, near-duplicate spellings and a few outdated or excluded records.
std::vector<NormalizedEntity> generated_people(size_t count, uint64_t seed) {
  const char* first[] = {"Anna", "Anne", "Ann", "Bob", "Robert", "Jon", "John", "Maria", "Marie", "Zoe"};
  const char* last[] = {"Smith", "Smyth", "Schmidt", "Jones", "Johns", "Garcia", "Garc\u00eda", "Lee"};
  std::mt19937_64 rng(seed);
  std::vector<NormalizedEntity> out;
  for (size_t i = 0; i < count; ++i) {
    NormalizedEntity e = entity(static_cast<uint32_t>(i + 1), {});
    const std::string f = first[rng() % std::size(first)];
    const std::string l = last[rng() % std::size(last)];
    e.data.insert_or_assign("first_name", rng() % 5 == 0 ? osmira_base::unicode::to_lowercase(f) : f);
    e.data.insert_or_assign("last_name", l);
    e.data.insert_or_assign("zip", std::to_string(10000 + rng() % 6));
    if (rng() % 4 != 0) e.data.insert_or_assign("email", osmira_base::unicode::to_lowercase(f) + "@x.org");
    e.data.insert_or_assign("age", std::to_string(20 + rng() % 30));
    if (rng() % 50 == 0) e.data.insert_or_assign("status", "test");
    e.external_id = "ext-" + std::to_string(rng() % (count / 2 + 1));  // repeats on purpose
    e.source_name = rng() % 2 ? "crm" : "erp";
    e.last_updated = DateTime{1'700'000'000 + static_cast<int64_t>(rng() % 1000), 0};
    if (rng() % 40 == 0) e.valid_to = DateTime{1'000'000'000, 0};  // outdated
    out.push_back(std::move(e));
  }
  return out;
}

ir::IdentityPlan generated_plan(ir::ScoringMethod method) {
  ir::IdentityPlan plan = plan_with({
      testing::exact_rule("email", "email", 2.0, true, true),
      testing::similarity_rule("first", "first_name", ir::SimilarityAlgorithm::kJaroWinkler, 0.85, 1.0, "name"),
      testing::similarity_rule("last_sound", "last_name", ir::SimilarityAlgorithm::kSoundex, 1.0, 0.5),
      testing::composite_rule("who", ir::CompositeOperator::kOr,
                              {testing::similarity_rule("who_last", "last_name", ir::SimilarityAlgorithm::kLevenshtein, 0.8),
                               testing::range_rule("who_age", "age", 2.0)}),
      testing::similarity_rule("last_cos", "last_name", ir::SimilarityAlgorithm::kCosine, 0.5, 0.5),
  });
  plan.decision.match_threshold = 0.85;
  plan.decision.review_threshold = 0.6;
  plan.decision.scoring_method = method;
  plan.decision.ml_ensemble_config = ir::CompiledMlEnsembleConfig{{{"email", 3.0}, {"first", 2.0}, {"who", 1.5}}, -3.0};
  plan.decision.custom_scoring_config = ir::CompiledCustomScoringConfig{"(email + first + who) / 3"};
  ir::CompiledFellegiSunterPlan fs;
  fs.fields = {testing::fs_field("email", 4.0, -2.0), testing::fs_field("first", 2.5, -1.5)};
  fs.fields[1].name = "first_name";  // no rule of that name: s = 0
  fs.match_threshold = 3.0;
  fs.possible_threshold = 1.0;
  plan.decision.fellegi_sunter = fs;
  plan.decision.tie_breaking = {ir::CompiledTieBreaker::kExactMatchPriority,
                                ir::CompiledTieBreaker::kEarliestTimestamp};
  plan.blocking.keys = {testing::blocking_key({"last_name"}, {ir::BlockingTransformation::kSoundex}),
                        testing::blocking_key({"zip", "first_name"}, {ir::BlockingTransformation::kLowercase})};
  plan.blocking.neighborhood_window = 4;
  plan.blocking.sort_fields = {"last_name", "first_name"};
  plan.exclusions = {ir::CompiledExclusion{ir::CompiledExclusion::FieldValue{"status", "eq", osmira_base::Value("test")}}};
  plan.governance = ir::CompiledGovernance{};
  plan.governance->log_probabilities = true;
  ir::ResolvedSource crm, erp;
  crm.name = "crm";
  crm.reliability = 0.9;
  erp.name = "erp";
  erp.reliability = 0.7;
  plan.sources = {crm, erp};
  return plan;
}

TEST(ReconcileReference, FastRunEqualsThePairByPairRun) {
  const std::vector<NormalizedEntity> records = generated_people(400, 5);
  for (const auto method : {ir::ScoringMethod::kWeightedSum, ir::ScoringMethod::kMlEnsemble,
                            ir::ScoringMethod::kCustom, ir::ScoringMethod::kFellegiSunter}) {
    const auto engine = ReconciliationEngine::from_plan(generated_plan(method));
    const ReconcileOutput fast = engine.reconcile_with_telemetry(records, {});
    const ReconcileOutput slow = reference_run(engine, records, nullptr);
    EXPECT_GT(fast.decisions.size(), 10u);
    EXPECT_EQ(decisions_json(fast.decisions), decisions_json(slow.decisions))
        << osmira_common::enum_text(method);
    EXPECT_EQ(telemetry_json(fast.telemetry), telemetry_json(slow.telemetry))
        << osmira_common::enum_text(method);

    EntityIdSet existing;
    for (size_t i = 0; i < records.size(); i += 2) existing.insert(records[i].id);
    const ReconcileOutput fast_inc = engine.reconcile_incremental_with_telemetry(records, existing, {});
    const ReconcileOutput slow_inc = reference_run(engine, records, &existing);
    EXPECT_EQ(decisions_json(fast_inc.decisions), decisions_json(slow_inc.decisions));
    EXPECT_EQ(telemetry_json(fast_inc.telemetry), telemetry_json(slow_inc.telemetry));
  }
}

// Workloads cut into many pieces of work, or whose pairs meet in several blocks (also keys
// generated twice for a record, records sharing an identifier): the run equals
// the pair-by-pair run, and gives the same text with 1, 2 and 8 workers.
TEST(ReconcileReference, FastRunEqualsThePairByPairRunOnBigAndSharedBlocks) {
  // One block of several thousand records, with two rules to keep the pair-by-pair run short.
  std::vector<NormalizedEntity> crowd = generated_people(2000, 21);
  for (NormalizedEntity& e : crowd) e.data.insert_or_assign("kind", "person");
  ir::IdentityPlan one_block = generated_plan(ir::ScoringMethod::kCustom);
  one_block.match_graph.rules.erase(one_block.match_graph.rules.begin() + 2,
                                    one_block.match_graph.rules.end());  // email, first
  one_block.decision.custom_scoring_config = ir::CompiledCustomScoringConfig{"(email + first) / 2"};
  one_block.blocking.keys = {testing::blocking_key({"kind"})};
  one_block.blocking.neighborhood_window.reset();

  // Overlapping keys: every zip key twice over (each member listed once all the same), its
  // sub-blocks by first name, and the sound of the last name.
  std::vector<NormalizedEntity> people = generated_people(900, 22);
  for (size_t i = 0; i < 900; i += 37) {
    NormalizedEntity twin = people[i];  // the same identifier with other values
    twin.data.insert_or_assign("first_name", "Ann");
    twin.external_id = "twin-" + std::to_string(i);
    people.push_back(std::move(twin));
  }
  ir::IdentityPlan shared = generated_plan(ir::ScoringMethod::kFellegiSunter);
  shared.blocking.keys = {testing::blocking_key({"zip"}), testing::blocking_key({"zip"}),
                          testing::blocking_key({"zip", "first_name"}),
                          testing::blocking_key({"last_name"}, {ir::BlockingTransformation::kSoundex})};
  ir::IdentityPlan shared_ml = shared;
  shared_ml.decision.scoring_method = ir::ScoringMethod::kMlEnsemble;

  // Thousands of small blocks: keys from several chunks of records and more key entries
  // than one stretch of the block sort holds, long keys that share their first sixteen
  // bytes, records excluded on their own, and identifiers repeated.
  std::vector<NormalizedEntity> many = generated_people(6000, 23);
  std::mt19937_64 key_rng(24);
  for (NormalizedEntity& e : many) {
    e.data.insert_or_assign("zip", "z" + std::to_string(key_rng() % 2000));
    e.data.insert_or_assign("code", "a-long-shared-prefix-" + std::to_string(key_rng() % 1500));
  }
  for (size_t i = 0; i < 6000; i += 97) many[i + 1].id = many[i].id;
  ir::IdentityPlan many_blocks = generated_plan(ir::ScoringMethod::kWeightedSum);
  many_blocks.blocking.keys = {
      testing::blocking_key({"zip"}), testing::blocking_key({"code"}),
      testing::blocking_key({"zip", "first_name"}, {ir::BlockingTransformation::kLowercase})};

  struct Case {
    const char* name;
    const std::vector<NormalizedEntity>* records;
    const ir::IdentityPlan* plan;
    bool incremental;
  };
  const Case cases[] = {
      {"one block, incremental", &crowd, &one_block, true},
      {"shared blocks", &people, &shared, false},
      {"shared blocks, ML, incremental", &people, &shared_ml, true},
      {"many small blocks", &many, &many_blocks, false},
      {"many small blocks, incremental", &many, &many_blocks, true},
  };
  for (const Case& c : cases) {
    const auto engine = ReconciliationEngine::from_plan(*c.plan);
    const std::vector<NormalizedEntity>& records = *c.records;
    EntityIdSet existing;
    for (size_t i = 0; i < records.size(); i += 3) existing.insert(records[i].id);
    const EntityIdSet* known = c.incremental ? &existing : nullptr;
    const ReconcileOutput slow = reference_run(engine, records, known);
    EXPECT_GT(slow.decisions.size(), 100u) << c.name;
    const std::string want_decisions = decisions_json(slow.decisions);
    const std::string want_telemetry = telemetry_json(slow.telemetry);
    for (const int workers : {1, 2, 8}) {
      tbb::global_control limit(tbb::global_control::max_allowed_parallelism, workers);
      const ReconcileOutput fast =
          c.incremental ? engine.reconcile_incremental_with_telemetry(records, existing, {})
                        : engine.reconcile_with_telemetry(records, {});
      EXPECT_EQ(decisions_json(fast.decisions), want_decisions) << c.name << ", " << workers;
      EXPECT_EQ(telemetry_json(fast.telemetry), want_telemetry) << c.name << ", " << workers;
    }
  }
}

// Block keys and external ids that tie over their first bytes and differ only further on,
// that are prefixes of one another, or hold NUL and non-ASCII bytes: blocks still come in
// byte order of their keys (which block decides a pair shared by several) and members in
// byte order of their external ids (which record of a pair is entity a).
TEST(ReconcileReference, LongSharedPrefixesOrderAsTheirTexts) {
  using namespace std::string_literals;
  const std::vector<std::string> keys = {
      "prefix12345678a", "prefix12345678", "prefix1234567", "prefix12", "prefix1",
      "prefix12345678\xC3\xA9", "prefix12\0b"s, "prefix12\0"s, "prefix12\xFF", "Prefix12345678"};
  const std::vector<std::string> externals = {
      "source-system-0001", "source-system-0010", "source-system-001", "source-system-01",
      "source-s", "source-sy\xC3\xA9", "source-s\0x"s, "source-system-0001"};
  std::mt19937 rng(17);
  std::vector<NormalizedEntity> records;
  for (uint32_t i = 0; i < 240; ++i) {
    NormalizedEntity e = entity(i + 1, {{"f", rng() % 2 ? "x" : "y"}},
                                externals[rng() % externals.size()] + std::to_string(rng() % 3));
    e.data.insert_or_assign("key", keys[rng() % keys.size()]);
    e.data.insert_or_assign("zip", keys[rng() % keys.size()] + "z");
    records.push_back(std::move(e));
  }
  ir::IdentityPlan plan = keyed_plan();
  plan.blocking.keys.push_back(testing::blocking_key({"zip"}));
  const auto engine = ReconciliationEngine::from_plan(plan);
  const ReconcileOutput fast = engine.reconcile_with_telemetry(records, {});
  const ReconcileOutput slow = reference_run(engine, records, nullptr);
  EXPECT_GT(fast.decisions.size(), 1000u);
  EXPECT_EQ(decisions_json(fast.decisions), decisions_json(slow.decisions));
  EXPECT_EQ(telemetry_json(fast.telemetry), telemetry_json(slow.telemetry));
}

TEST(ReconcileDeterminism, SameResultWithOneAndFourWorkers) {
  const std::vector<NormalizedEntity> records = generated_people(2000, 9);
  // High thresholds keep the returned list (and the text compared) small; every pair is
  // still evaluated and counted.
  ir::IdentityPlan plan = generated_plan(ir::ScoringMethod::kWeightedSum);
  plan.decision.match_threshold = 0.97;
  plan.decision.review_threshold = 0.9;
  const auto engine = ReconciliationEngine::from_plan(plan);
  std::string decisions[2];
  std::string telemetry[2];
  const int threads[2] = {1, 4};
  for (int k = 0; k < 2; ++k) {
    tbb::global_control limit(tbb::global_control::max_allowed_parallelism, threads[k]);
    const ReconcileOutput out = engine.reconcile_with_telemetry(records, {});
    decisions[k] = decisions_json(out.decisions);
    telemetry[k] = telemetry_json(out.telemetry);
  }
  EXPECT_GT(decisions[0].size(), 10000u);
  EXPECT_EQ(decisions[0], decisions[1]);
  EXPECT_EQ(telemetry[0], telemetry[1]);
}

}  // namespace
}  // namespace osmira_core::engine
