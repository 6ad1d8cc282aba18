// The three spec commands on trees of the wrong shape: non-mapping roots, every section of
// the wrong kind, elements of the wrong kind, large lists and deep nesting. None of them may
// fail or crash, and each keeps the invariants that hold for every input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/json_writer.h"
#include "command_fixtures.h"
#include "tooling/commands/compile.h"
#include "tooling/commands/diff.h"
#include "tooling/commands/plan.h"
#include "tooling/parser.h"
#include "tooling/validator.h"

namespace vintrel_core::commands {
namespace {

using osmira_base::Value;
using testing::parse;

// Texts that parse but are not specs, or hold sections of the wrong kind everywhere.
const std::vector<std::string>& odd_texts() {
  static const std::vector<std::string> texts = {
      "hello", "[1, 2]", "42", "-3.5", "~", "true", "{}", "''",
      "api_version: [1]\nidentity_version: {a: 1}\nentity: [name]\n",
      "entity: {name: [x]}\nidentity_version: null\n",
      "sources: 5", "sources: [1, null, [x], {name: 3}, {name: a, attributes: [x]}]",
      "sources: {a: {name: a}}",
      "rules: x", "rules: [1, [2], null, {name: {a: 1}, type: [], field: {}, weight: x}]",
      "rules: {a: 1}\nmatching: [1, {rule: 2}, {name: null}]",
      "blocking: [1]", "blocking: null", "blocking: {keys: 5, strategy: [x]}",
      "blocking: {keys: [null, 1, [], {}, {field: {}, transform: []}]}",
      "decision: 1", "decision: null", "decision: {thresholds: [1], scoring: [1]}",
      "decision: {thresholds: {match: x, review: [1]}, scoring: fellegi_sunter}",
      "decision: {scoring: {strategy: fellegi_sunter, fields: 3, thresholds: 3}}",
      "decision: {scoring: {strategy: fellegi_sunter, fields: [1, null, {name: 2}, {name: a, weight: x}],"
      " thresholds: {match: [1]}}}",
      "survivorship: [1]", "survivorship: {rules: [1, null, {source_priority: {a: 1}}]}",
      "metadata: [1]", "temporal: null",
  };
  return texts;
}

TEST(CommandsOnOddTrees, CompileAndPlanNeverFail) {
  for (const std::string& text : odd_texts()) {
    const Value doc = parse(text);
    osmira_base::Result<Value> summary = compile::compile_to_ir(doc);
    ASSERT_TRUE(summary.ok()) << text;
    EXPECT_EQ(summary->as_object().size(), 8u) << text;

    osmira_base::Result<plan::PlanResult> result = plan::generate_plan(text);
    ASSERT_TRUE(result.ok()) << text;
    EXPECT_EQ(result->execution_stages.size(), 8u) << text;
    EXPECT_EQ(result->plan_hash, document_hash(doc)) << text;
    size_t lines = 1;
    for (char c : result->summary) lines += c == '\n';
    EXPECT_EQ(lines, 9u) << text;
    EXPECT_EQ(plan::to_value(*result).as_object().size(), 10u) << text;
  }
}

// Every pair of odd texts: a text against itself has no change, and swapping the two texts
// swaps what was added and removed.
TEST(CommandsOnOddTrees, DiffIsQuietOnItselfAndSymmetricInAddedAndRemoved) {
  for (const std::string& a : odd_texts()) {
    for (const std::string& b : odd_texts()) {
      osmira_base::Result<diff::DiffResult> forward = diff::compute_diff(a, b);
      osmira_base::Result<diff::DiffResult> backward = diff::compute_diff(b, a);
      ASSERT_TRUE(forward.ok() && backward.ok()) << a << " / " << b;
      const std::string where = a + " / " + b;
      if (a == b) {
        EXPECT_EQ(forward->summary, "No changes detected.") << where;
        EXPECT_FALSE(forward->fs_changes.has_value()) << where;
      }
      EXPECT_EQ(forward->rules_added, backward->rules_removed) << where;
      EXPECT_EQ(forward->sources_added, backward->sources_removed) << where;
      EXPECT_EQ(forward->rules_modified.size(), backward->rules_modified.size()) << where;
      EXPECT_EQ(forward->thresholds_changed, backward->thresholds_changed) << where;
      EXPECT_EQ(forward->fs_changes.has_value(), backward->fs_changes.has_value()) << where;
      const Value written = diff::to_value(*forward);
      EXPECT_EQ(written.as_object().size(), forward->fs_changes ? 21u : 20u) << where;
    }
  }
}

TEST(CommandsOnLargeInput, ThousandsOfEntries) {
  constexpr int kCount = 3000;
  std::string old_text = "sources:\n";
  for (int i = 0; i < kCount; ++i) old_text += "  - {name: s" + std::to_string(i) + ", system: x}\n";
  old_text += "rules:\n";
  for (int i = 0; i < kCount; ++i) {
    old_text += "  - {name: r" + std::to_string(i) + ", field: phone, threshold: 0.5, weight: 0.95}\n";
  }
  std::string new_text = old_text;
  for (size_t at = new_text.find("weight: 0.95"); at != std::string::npos;
       at = new_text.find("weight: 0.95", at)) {
    new_text.replace(at, 12, "weight: 0.96");
  }

  osmira_base::Result<plan::PlanResult> result = plan::generate_plan(old_text);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->sources.size(), static_cast<size_t>(kCount));
  EXPECT_EQ(result->risk_flags.size(), 2u * kCount + 5u);  // two per rule, five fixed

  osmira_base::Result<diff::DiffResult> changed = diff::compute_diff(old_text, new_text);
  ASSERT_TRUE(changed.ok());
  EXPECT_EQ(changed->summary, "rules: +0 -0 ~" + std::to_string(kCount));
}

// 128 levels of nesting parse; every section compared at that depth yields one leaf record
// with the full dotted path.
TEST(CommandsOnLargeInput, DeepNestingInEverySection) {
  constexpr int kDepth = 127;  // below the section key itself
  auto nested = [](std::string_view leaf) {
    std::string out;
    for (int i = 0; i < kDepth; ++i) out += "{k: ";
    out += leaf;
    for (int i = 0; i < kDepth; ++i) out += "}";
    return out;
  };
  std::string want_path;
  for (int i = 0; i < kDepth - 1; ++i) want_path += ".k";
  for (std::string_view section : {"entity", "blocking", "survivorship", "metadata"}) {
    const std::string a = std::string(section) + ": " + nested("1");
    const std::string b = std::string(section) + ": " + nested("2");
    osmira_base::Result<diff::DiffResult> d = diff::compute_diff(a, b);
    ASSERT_TRUE(d.ok()) << section << ": " << d.error().message();
    const Value written = diff::to_value(*d);
    const Value& changes = *written.get(std::string(section) + "_changes");
    ASSERT_EQ(changes.as_array().size(), 1u) << section;
    EXPECT_EQ(changes.as_array()[0].get("path")->as_string(), std::string(section) + want_path + ".k")
        << section;
  }
}

}  // namespace
}  // namespace vintrel_core::commands
