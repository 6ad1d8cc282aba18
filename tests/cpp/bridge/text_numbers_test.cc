#include "python/bridge/text_numbers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vintrel_bridge {
namespace {

using Groups = std::vector<std::vector<std::string>>;

std::vector<size_t> offsets_of(const Groups& groups) {
  std::vector<size_t> offsets(groups.size() + 1, 0);
  for (size_t g = 0; g < groups.size(); ++g) offsets[g + 1] = offsets[g] + groups[g].size();
  return offsets;
}

TextNumbers number_groups(const Groups& groups) {
  const std::vector<size_t> offsets = offsets_of(groups);
  return number_texts(offsets, [&](size_t g, auto&& emit) {
    for (const std::string& text : groups[g]) emit(std::string_view(text));
  });
}

// The numbering by first appearance, front to back with one map.
std::vector<uint32_t> reference_numbers(const Groups& groups) {
  std::map<std::string, uint32_t> seen;
  std::vector<uint32_t> numbers;
  for (const auto& group : groups) {
    for (const std::string& text : group) {
      numbers.push_back(seen.try_emplace(text, static_cast<uint32_t>(seen.size())).first->second);
    }
  }
  return numbers;
}

// Enough groups to span many hash-table growths.
constexpr size_t kMany = 1024;

// Texts drawn from `distinct` values, spread so that repeats fall in other groups.
Groups generated(size_t groups, size_t per_group, size_t distinct) {
  Groups out(groups);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (auto& group : out) {
    const size_t items = per_group == 0 ? 0 : (state >> 33) % (per_group + 1);
    for (size_t i = 0; i < items; ++i) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      group.push_back("text " + std::to_string((state >> 33) % distinct));
    }
    state = state * 6364136223846793005ull + 1442695040888963407ull;
  }
  return out;
}

// Groups shaped like decisions: fixed texts at fixed positions, texts that change now and
// then at a position, and group lengths that shift the positions.
Groups positional(size_t groups) {
  Groups out(groups);
  for (size_t g = 0; g < groups; ++g) {
    if (g % 5 == 0) out[g].push_back("key " + std::to_string(g % 11));
    out[g].push_back("rule");
    out[g].push_back("explanation " + std::to_string((g / 3) % 4));
    out[g].push_back(g % 2 ? "rule" : "explanation 1");
  }
  return out;
}

TEST(TextNumbers, NumbersByFirstAppearanceLikeOneSequentialPass) {
  struct Case {
    const char* name;
    Groups groups;
  };
  const std::vector<Case> cases = {
      {"nothing", {}},
      {"empty groups only", {{}, {}, {}}},
      {"one text", {{"a"}}},
      {"repeats within a group", {{"a", "b", "a", "a", "c", "b"}}},
      {"repeats across groups", {{"x"}, {}, {"y", "x"}, {"z", "y"}}},
      {"empty text and prefixes", {{"", "ab", "a", ""}, {"a", "abc", "ab"}}},
      {"embedded zero bytes", {{std::string("a\0b", 3), std::string("a\0c", 3), "a"},
                               {std::string("a\0b", 3)}}},
      {"few texts over many groups", generated(5 * kMany + 17, 6, 40)},
      {"mostly distinct texts over many groups", generated(3 * kMany + 5, 9, 1 << 20)},
      {"repeats across many groups", generated(4 * kMany, 4, 5000)},
      {"texts repeating at their positions", positional(3 * kMany + 7)},
      {"same length, other text at a position", {{"ab", "cd"}, {"ab", "ce"}, {"ab", "cd"}}},
  };
  for (const Case& c : cases) {
    const std::vector<uint32_t> expected = reference_numbers(c.groups);
    uint32_t expected_distinct = 0;
    for (uint32_t n : expected) expected_distinct = std::max(expected_distinct, n + 1);
    const TextNumbers numbers = number_groups(c.groups);
    EXPECT_EQ(numbers.of_item, expected) << c.name;
    EXPECT_EQ(numbers.distinct, expected_distinct) << c.name;
  }
}

}  // namespace
}  // namespace vintrel_bridge
