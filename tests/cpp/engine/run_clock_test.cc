#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "core/engine/engine_settings.h"
#include "core/engine/pair_scorer.h"
#include "engine_test_support.h"

namespace osmira_core::engine {
namespace {

namespace ir = osmira_common::ir;
using osmira_base::DateTime;
using testing::entity;
using types::NormalizedEntity;

// The temporal gate of one scorer (one run) compares every pair with the instant the scorer
// was built at, not with the clock at the time the pair is reached: a bound that the clock
// passes during the run changes nothing for that run, and does for the next one.
TEST(RunClock, EveryPairOfARunIsGatedAgainstTheSameInstant) {
  const DateTime soon = [] {
    DateTime t = DateTime::now();
    t.seconds += 2;  // far enough ahead for the scorers to be built before it
    return t;
  }();
  struct Row {
    const char* name;
    ir::TemporalStrategy mode;
    std::optional<DateTime> valid_from;
    std::optional<DateTime> valid_to;
    std::optional<double> before;  // the gate while the clock is before `soon`
    std::optional<double> after;   // once it has passed it
  };
  constexpr auto kNone = std::nullopt;
  const Row rows[] = {
      {"latest only, ends soon", ir::TemporalStrategy::kLatestOnly, kNone, soon, 1.0, kNone},
      {"point in time, ends soon", ir::TemporalStrategy::kPointInTime, kNone, soon, 1.0, kNone},
      {"point in time, starts soon", ir::TemporalStrategy::kPointInTime, soon, kNone, kNone, 1.0},
  };
  const NormalizedEntity open = entity(2, {{"f", "x"}});
  std::vector<NormalizedEntity> bounded;
  std::vector<EngineSettings> settings(std::size(rows));
  for (size_t r = 0; r < std::size(rows); ++r) {
    NormalizedEntity e = entity(1, {{"f", "x"}});
    e.valid_from = rows[r].valid_from;
    e.valid_to = rows[r].valid_to;
    bounded.push_back(std::move(e));
    settings[r].temporal_mode = rows[r].mode;
  }
  std::vector<detail::PairScorer> early;
  early.reserve(std::size(rows));
  for (size_t r = 0; r < std::size(rows); ++r) {
    early.emplace_back(settings[r], std::vector<const NormalizedEntity*>{&bounded[r], &open},
                       false);
  }
  for (size_t r = 0; r < std::size(rows); ++r) {
    EXPECT_EQ(early[r].temporal_factor(0, 1), rows[r].before) << rows[r].name;
  }

  // Past `soon` by the system clock, which DateTime::now reads.
  std::this_thread::sleep_until(
      std::chrono::system_clock::time_point(std::chrono::seconds(soon.seconds + 1)));
  for (size_t r = 0; r < std::size(rows); ++r) {
    EXPECT_EQ(early[r].temporal_factor(0, 1), rows[r].before) << rows[r].name;
    const detail::PairScorer late(settings[r], {&bounded[r], &open}, false);
    EXPECT_EQ(late.temporal_factor(0, 1), rows[r].after) << rows[r].name;
  }
}

}  // namespace
}  // namespace osmira_core::engine
