#include "core/engine/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/engine/engine.h"
#include "engine_test_support.h"

namespace osmira_core::engine::log {
namespace {

TEST(LogText, Placeholders) {
  struct Row { std::string got; const char* want; };
  const Row rows[] = {
      {text("Random u estimation complete: {} fields updated", size_t{3}),
       "Random u estimation complete: 3 fields updated"},
      {text("EM: {} iterations, converged={}, fix_u={}, prior_weight={:.2}", uint64_t{7}, true,
            false, 0.7),
       "EM: 7 iterations, converged=true, fix_u=false, prior_weight=0.70"},
      {text("  {} -> m={:.4}, w={:.3}", std::string("email"), 0.92704, -2.2649),
       "  email -> m=0.9270, w=-2.265"},
      {text("plain {} {} {}", 0.1, 2.0, -5), "plain 0.1 2 -5"},
      {text("{:.4} {}", std::nan(""), INFINITY), "NaN inf"},
      {text("failed: {}, falling back", std::string_view("expression error: x")),
       "failed: expression error: x, falling back"},
      // Left-over arguments are name/value pairs.
      {text("clamped", "field", "email", "original_u", 0.0, "clamped_u", 0.0001),
       "clamped (field=email, original_u=0, clamped_u=0.0001)"},
      // Braces that are no placeholder, and placeholders with no argument, stay.
      {text("{x} {:.} {}{}", 1), "{x} {:.} 1{}"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.got, row.want);
  EXPECT_STREQ(text("fixed {}"), "fixed {}");  // no arguments: the literal itself
}

// Text arguments (names from the spec, messages quoting them) are escaped as Python's repr
// escapes them inside a str; the call site's own text is not. Ordinary Unicode stays.
TEST(LogText, TextArgumentsAreEscaped) {
  struct Row { std::string name; const char* want; };
  const Row rows[] = {
      {"email\nCRITICAL vintrel.engine forged", "email\\nCRITICAL vintrel.engine forged"},
      {"a\tb\rc", "a\\tb\\rc"},
      {"back\\slash", "back\\\\slash"},
      {std::string("nul\0\x1b[31m\x7f", 10), "nul\\x00\\x1b[31m\\x7f"},
      {"\xc2\x85 next line, \xc2\x9b csi", "\\x85 next line, \\x9b csi"},
      {"\xe2\x80\xa8 \xe2\x80\xa9 \xe2\x80\xae \xe2\x81\xa6", "\\u2028 \\u2029 \\u202e \\u2066"},
      {"Zo\xc3\xab \xe6\x9d\xb1 \xf0\x9f\x98\x80 no-break\xc2\xa0space",
       "Zo\xc3\xab \xe6\x9d\xb1 \xf0\x9f\x98\x80 no-break\xc2\xa0space"},
      {"ill\xff", "ill\xef\xbf\xbd"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(text("  {} -> m={:.4}", row.name, 0.5),
              std::string("  ") + row.want + " -> m=0.5000");
    EXPECT_EQ(text("clamped", "field", row.name), std::string("clamped (field=") + row.want + ")");
  }
  EXPECT_EQ(text("two\nlines: {}", "x"), "two\nlines: x");
}

TEST(LogEvents, NullSinkEvaluatesNothing) {
  int evaluated = 0;
  Events* none = nullptr;
  OSMIRA_LOG_WARN(none, "t", "{}", ++evaluated);
  EXPECT_EQ(evaluated, 0);
  Events events;
  OSMIRA_LOG_WARN(&events, "t", "{}", ++evaluated);
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(events.take().size(), 1u);
}

// Collapsing against a plain reference: identical (level, target, text) events become one
// entry at their first position with their count, whether added as fixed or built texts, and
// however the events are spread over threads (each thread adds its own share). Short
// sequences of few texts, and long ones of hundreds of distinct texts.
TEST(LogEvents, CollapseMatchesReference) {
  static const char* const kFixed[] = {"fixed a", "fixed b", "built 1"};
  const std::string_view targets[] = {"osmira_core::engine", "osmira_core::engine::compiler"};
  using Key = std::tuple<Level, std::string_view, std::string>;
  std::mt19937 rng(24);
  for (int round = 0; round < 56; ++round) {
    const bool long_round = round >= 50;
    std::vector<std::pair<Key, const char*>> sequence(rng() % (long_round ? 4000 : 40));
    for (auto& [key, fixed] : sequence) {
      const uint32_t pick = rng() % (long_round ? 600 : 5);
      fixed = pick < 3 ? kFixed[pick] : nullptr;  // "built 1" is also a fixed text
      key = {static_cast<Level>(rng() % 3), targets[rng() % 2],
             fixed != nullptr ? std::string(fixed) : text("built {}", pick - 2)};
    }
    std::vector<std::pair<Key, uint64_t>> reference;
    for (const auto& [key, fixed] : sequence) {
      auto it = std::find_if(reference.begin(), reference.end(),
                             [&](const auto& r) { return r.first == key; });
      if (it == reference.end()) it = reference.insert(it, {key, 0});
      ++it->second;
    }
    for (const int threads : {1, 4, 7}) {
      Events events;
      std::vector<std::thread> workers;
      for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
          for (size_t i = t; i < sequence.size(); i += threads) {
            const auto& [level, target, built] = sequence[i].first;
            if (sequence[i].second != nullptr) {
              events.add(level, target, sequence[i].second);
            } else {
              events.add(level, target, built);
            }
          }
        });
      }
      for (std::thread& w : workers) w.join();
      const std::vector<Event> got = events.take();
      ASSERT_EQ(got.size(), reference.size()) << "round " << round;
      for (size_t k = 0; k < got.size(); ++k) {
        const Key key(got[k].level, got[k].target, got[k].text);
        const auto it = std::find_if(reference.begin(), reference.end(),
                                     [&](const auto& r) { return r.first == key; });
        ASSERT_NE(it, reference.end()) << got[k].text;
        EXPECT_EQ(got[k].count, it->second);
        // On one thread, the order of first occurrence is the sequence's.
        if (threads == 1) {
          EXPECT_EQ(it - reference.begin(), static_cast<ptrdiff_t>(k));
        }
      }
      EXPECT_TRUE(events.take().empty());
    }
  }
}

// An expression that fails on every pair of a run spread over the workers: one entry whose
// count is the number of pairs, and the same decisions as a run that collects nothing.
TEST(LogEvents, RunOnTheWorkersCountsEveryPair) {
  std::vector<types::NormalizedEntity> records;
  for (uint32_t n = 0; n < 300; ++n) {
    records.push_back(testing::entity(n, {{"key", n % 3 == 0 ? "a" : "b"}, {"f", "x"}}));
  }
  osmira_common::ir::IdentityPlan plan = testing::plan_with({testing::exact_rule("e", "f")});
  plan.blocking.keys = {testing::blocking_key({"key"})};
  plan.decision.scoring_method = osmira_common::ir::ScoringMethod::kCustom;
  plan.decision.custom_scoring_config = osmira_common::ir::CompiledCustomScoringConfig{"e 1"};
  Events events;
  const ReconcileOutput logged =
      ReconciliationEngine::from_plan(plan, &events).reconcile_with_telemetry(records, {});
  const ReconcileOutput silent =
      ReconciliationEngine::from_plan(plan).reconcile_with_telemetry(records, {});
  const std::vector<Event> got = events.take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].level, Level::kError);
  EXPECT_EQ(got[0].text,
            "Custom scoring expression evaluation failed: expression error: expression did not "
            "reduce to single value (stack has 2 items), falling back to weighted sum");
  EXPECT_EQ(got[0].count, uint64_t{100 * 99 / 2 + 200 * 199 / 2});
  EXPECT_EQ(logged.telemetry.pairs_evaluated, got[0].count);
  EXPECT_EQ(logged.decisions.size(), silent.decisions.size());
}

}  // namespace
}  // namespace osmira_core::engine::log
