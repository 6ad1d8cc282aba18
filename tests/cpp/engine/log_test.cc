#include "core/engine/log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

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

TEST(LogEvents, NullSinkEvaluatesNothing) {
  int evaluated = 0;
  Events* none = nullptr;
  OSMIRA_LOG_WARN(none, "t", "{}", ++evaluated);
  EXPECT_EQ(evaluated, 0);
  Events events;
  OSMIRA_LOG_WARN(&events, "t", "{}", ++evaluated);
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(events.take().size(), 1u);
  EXPECT_TRUE(events.take().empty());  // taken
}

// Collapsing against a plain reference: identical (level, target, text) events become one
// entry at their first position with their count, whether added as fixed or built texts.
TEST(LogEvents, CollapseMatchesReference) {
  static const char* const kFixed[] = {"fixed a", "fixed b", "built 1"};
  const std::string_view targets[] = {"osmira_core::engine", "osmira_core::engine::compiler"};
  std::mt19937 rng(24);
  for (int round = 0; round < 50; ++round) {
    Events events;
    std::vector<std::tuple<Level, std::string_view, std::string>> reference_keys;
    std::vector<uint64_t> reference_counts;
    const int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) {
      const Level level = static_cast<Level>(rng() % 3);
      const std::string_view target = targets[rng() % 2];
      const uint32_t pick = rng() % 5;
      std::string text_added;
      if (pick < 3) {
        events.add(level, target, kFixed[pick]);
        text_added = kFixed[pick];
      } else {
        text_added = text("built {}", pick - 2);  // "built 1" equals a fixed text
        events.add(level, target, text_added);
      }
      const auto key = std::make_tuple(level, target, text_added);
      size_t k = 0;
      while (k < reference_keys.size() && reference_keys[k] != key) ++k;
      if (k == reference_keys.size()) {
        reference_keys.push_back(key);
        reference_counts.push_back(0);
      }
      ++reference_counts[k];
    }
    const std::vector<Event> got = events.take();
    ASSERT_EQ(got.size(), reference_keys.size()) << "round " << round;
    for (size_t k = 0; k < got.size(); ++k) {
      EXPECT_EQ(std::make_tuple(got[k].level, got[k].target, got[k].text), reference_keys[k]);
      EXPECT_EQ(got[k].count, reference_counts[k]);
    }
  }
}

TEST(LogEvents, WorkersAddAtOnce) {
  Events events;
  constexpr int kThreads = 8;
  constexpr int kEach = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&events, t] {
      for (int i = 0; i < kEach; ++i) {
        OSMIRA_LOG_WARN(&events, "osmira_core::engine", "fallback");
        OSMIRA_LOG_ERROR(&events, "osmira_core::engine", "failed: {}", t % 2);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::vector<Event> got = events.take();
  ASSERT_EQ(got.size(), 3u);
  uint64_t total = 0;
  for (const Event& e : got) {
    EXPECT_EQ(e.count, e.text == "fallback" ? uint64_t{kThreads} * kEach
                                            : uint64_t{kThreads / 2} * kEach);
    total += e.count;
  }
  EXPECT_EQ(total, uint64_t{2} * kThreads * kEach);
}

}  // namespace
}  // namespace osmira_core::engine::log
