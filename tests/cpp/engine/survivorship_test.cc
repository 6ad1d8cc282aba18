#include "core/engine/survivorship.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace osmira_core::engine {
namespace {

using osmira_common::ir::SurvivorshipPolicy;
using osmira_common::ir::SurvivorshipStrategy;
using types::NormalizedEntity;
using S = SurvivorshipStrategy;

osmira_base::DateTime at(std::string text) {
  if (text.size() == 10) text += "T00:00:00Z";
  auto t = osmira_base::parse_rfc3339(text);
  EXPECT_TRUE(t.ok()) << text;
  return t.ok() ? *t : osmira_base::DateTime{};
}

// A record carrying field "f" = `value` (none for nullptr), updated at `updated` (a date or
// a date-time), valid from `valid_from` when given.
NormalizedEntity rec(const char* ext, const char* source, const char* updated, const char* value,
                     const char* valid_from = nullptr) {
  NormalizedEntity r;
  r.external_id = ext;
  r.source_name = source;
  r.last_updated = at(updated);
  if (valid_from) r.valid_from = at(valid_from);
  if (value) r.data.insert_or_assign("f", value);
  return r;
}

// Records carrying "f" with the given values, all from crm at one time; external ids
// "1", "2", ... so that later records win time ties.
std::vector<NormalizedEntity> values(std::initializer_list<const char*> texts) {
  std::vector<NormalizedEntity> out;
  for (const char* t : texts) {
    out.push_back(rec(std::to_string(out.size() + 1).c_str(), "crm", "2024-01-01", t));
  }
  return out;
}

SurvivorshipPolicy policy_for_f(S strategy, std::optional<std::vector<std::string>> priority = {},
                                std::optional<std::string> aggregate_fn = {}) {
  SurvivorshipPolicy policy;
  policy.field_policies["f"] = {strategy, std::move(priority), std::move(aggregate_fn)};
  return policy;
}

SurvivorshipPolicy aggregate(const char* fn) {
  return policy_for_f(S::kAggregate, {}, fn ? std::optional<std::string>(fn) : std::nullopt);
}

SurvivorshipPolicy by_default(S strategy) {
  SurvivorshipPolicy policy;
  policy.default_strategy = strategy;
  return policy;
}

// The golden value of "f", or "<absent>".
std::string golden_f(const std::vector<NormalizedEntity>& records,
                     const SurvivorshipPolicy& policy) {
  const GoldenRecord g = SurvivorshipEngine::construct_golden_record(records, policy);
  auto it = g.find("f");
  return it == g.end() ? "<absent>" : it->second;
}

TEST(Survivorship, EmptyInputs) {
  EXPECT_TRUE(SurvivorshipEngine::construct_golden_record({}, SurvivorshipPolicy{}).empty());
  const std::vector<NormalizedEntity> no_data = {rec("1", "crm", "2024-01-01", nullptr)};
  EXPECT_TRUE(SurvivorshipEngine::construct_golden_record(no_data, SurvivorshipPolicy{}).empty());
  EXPECT_FALSE(SurvivorshipEngine::pick_by_most_recent(no_data, "f").has_value());
}

// One record carrying the field: every strategy returns its value, except the numeric
// aggregates when it does not read as a number.
TEST(Survivorship, SingleRecordEveryStrategy) {
  struct Row {
    SurvivorshipPolicy policy;
    std::string on_text;    // value "Ann"
    std::string on_number;  // value "2.50"
  };
  const std::vector<Row> rows = {
      {policy_for_f(S::kMostRecent), "Ann", "2.50"},   {policy_for_f(S::kCustom), "Ann", "2.50"},
      {policy_for_f(S::kMostComplete), "Ann", "2.50"},
      {policy_for_f(S::kSourcePriority, std::vector<std::string>{"erp"}), "Ann", "2.50"},
      {aggregate("max"), "Ann", "2.50"},              {aggregate("min"), "Ann", "2.50"},
      {aggregate("intersection"), "Ann", "2.50"},     {aggregate(nullptr), "Ann", "2.50"},
      {aggregate("sum"), "-0", "2.5"},                {aggregate("avg"), "<absent>", "2.5"},
  };
  for (size_t k = 0; k < rows.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(golden_f(values({"Ann"}), rows[k].policy), rows[k].on_text);
    EXPECT_EQ(golden_f(values({"2.50"}), rows[k].policy), rows[k].on_number);
  }
}

// Every field of every record, decided only by the records that carry it; policies are
// looked up by exact field name; an empty value is a value.
TEST(Survivorship, FieldSetAndPolicyLookup) {
  std::vector<NormalizedEntity> records;
  for (int i = 0; i < 300; ++i) {
    NormalizedEntity& r =
        records.emplace_back(rec(std::to_string(i).c_str(), "crm", "2024-01-01", nullptr));
    r.data.insert_or_assign(std::string("own_").append(std::to_string(i)), std::to_string(i));
    r.data.insert_or_assign("Name", std::to_string(i % 7));
    if (i % 2 == 0) r.data.insert_or_assign("name", i == 98 ? "" : "x");
  }
  SurvivorshipPolicy policy;
  policy.field_policies["Name"] = {S::kAggregate, std::nullopt, "sum"};
  const GoldenRecord g = SurvivorshipEngine::construct_golden_record(records, policy);
  EXPECT_EQ(g.size(), 302u);
  EXPECT_EQ(g.at("own_123"), "123");
  EXPECT_EQ(g.at("Name"), "897");  // 42 full rounds of 0..6 (21 each) plus 0..5
  EXPECT_EQ(g.at("name"), "");     // the greatest external id among equal times: "98"
}

TEST(Survivorship, MostRecent) {
  struct Row {
    const char* name;
    std::vector<NormalizedEntity> records;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"valid_from before last_updated",
       {rec("a", "crm", "2024-01-02", "A"), rec("b", "crm", "2024-06-01", "B", "2024-01-01")}, "A"},
      {"later time wins",
       {rec("z", "crm", "2024-03-01", "late"), rec("a", "crm", "2024-02-01", "early")}, "late"},
      {"a nanosecond counts",
       {rec("z", "crm", "2024-01-01T00:00:00.000000001Z", "late"),
        rec("a", "crm", "2024-01-01", "early")},
       "late"},
      {"equal times: b over a",
       {rec("b", "crm", "2024-01-01", "B"), rec("a", "crm", "2024-01-01", "A")}, "B"},
      {"equal times: ab over a",
       {rec("ab", "crm", "2024-01-01", "AB"), rec("a", "crm", "2024-01-01", "A")}, "AB"},
      {"equal times: unsigned bytes",
       {rec("\xc3\xa9", "crm", "2024-01-01", "E"), rec("z", "crm", "2024-01-01", "Z")}, "E"},
      {"complete tie: later record",
       {rec("a", "crm", "2024-01-01", "first"), rec("a", "crm", "2024-01-01", "second")}, "second"},
      {"records without the field take no part",
       {rec("a", "crm", "2024-01-01", "old"), rec("b", "crm", "2025-01-01", nullptr)}, "old"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(golden_f(row.records, policy_for_f(S::kMostRecent)), row.expected);
    EXPECT_EQ(golden_f(row.records, policy_for_f(S::kCustom)), row.expected);
    EXPECT_EQ(golden_f(row.records, by_default(S::kMostRecent)), row.expected);
    EXPECT_EQ(SurvivorshipEngine::pick_by_most_recent(row.records, "f"), row.expected);
  }
}

TEST(Survivorship, MostComplete) {
  const auto policy = policy_for_f(S::kMostComplete);
  EXPECT_EQ(golden_f(values({"Bob", "Robert", "Rob"}), policy), "Robert");
  EXPECT_EQ(golden_f(values({"abd", "abc"}), policy), "abd");
  EXPECT_EQ(golden_f(values({"abc", "abd"}), policy), "abd");
  EXPECT_EQ(golden_f(values({""}), policy), "");
  // Length in bytes ("é" is two); among equal lengths, unsigned byte order.
  EXPECT_EQ(golden_f(values({"\xc3\xa9", "z"}), policy), "\xc3\xa9");
  EXPECT_EQ(golden_f(values({"zz", "\xc3\xa9"}), policy), "\xc3\xa9");
}

TEST(Survivorship, SourcePriority) {
  const std::vector<std::string> crm_erp = {"crm", "erp"};
  struct Row {
    const char* name;
    std::optional<std::vector<std::string>> priority;
    std::vector<NormalizedEntity> records;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"highest listed source", crm_erp,
       {rec("1", "erp", "2025-01-01", "E"), rec("2", "crm", "2020-01-01", "C")}, "C"},
      {"first of one source", crm_erp,
       {rec("1", "crm", "2020-01-01", "C1"), rec("2", "crm", "2025-01-01", "C2")}, "C1"},
      {"listed beats unlisted", crm_erp,
       {rec("1", "web", "2025-01-01", "W"), rec("2", "erp", "2020-01-01", "E")}, "E"},
      {"unlisted only: most recent", crm_erp,
       {rec("1", "web", "2020-01-01", "W1"), rec("2", "web", "2025-01-01", "W2")}, "W2"},
      {"no list: most recent", std::nullopt,
       {rec("1", "crm", "2020-01-01", "C"), rec("2", "erp", "2025-01-01", "E")}, "E"},
      {"empty list: most recent", std::vector<std::string>{},
       {rec("1", "crm", "2025-01-01", "C"), rec("2", "erp", "2020-01-01", "E")}, "C"},
      {"case-sensitive names", std::vector<std::string>{"CRM"},
       {rec("1", "crm", "2025-01-01", "C"), rec("2", "CRM", "2020-01-01", "U")}, "U"},
      {"a repeated entry ranks at its first place", std::vector<std::string>{"erp", "crm", "erp"},
       {rec("1", "crm", "2025-01-01", "C"), rec("2", "erp", "2020-01-01", "E")}, "E"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(golden_f(row.records, policy_for_f(S::kSourcePriority, row.priority)), row.expected);
  }
  // The default strategy has no list: always the most recent value.
  EXPECT_EQ(golden_f(rows[0].records, by_default(S::kSourcePriority)), "E");
}

// One engine prepared for a policy with lists of every length (long ones are indexed once,
// short ones read in place), used for many clusters, against a plain reference: the first
// record whose source stands earliest in the field's list, else the most recent value.
TEST(Survivorship, PreparedSourcePriorityAgainstReference) {
  std::mt19937 rng(5);
  const auto source = [&] { return std::string("s").append(std::to_string(rng() % 40)); };
  SurvivorshipPolicy policy;
  std::vector<std::string> fields;
  for (size_t length : {0, 1, 16, 17, 60, 400}) {
    std::vector<std::string> list;
    for (size_t k = 0; k < length; ++k) list.push_back(source());  // with repeats
    fields.push_back(std::string("f").append(std::to_string(length)));
    policy.field_policies[fields.back()] = {S::kSourcePriority, std::move(list), std::nullopt};
  }
  const SurvivorshipEngine engine(policy);
  for (int cluster = 0; cluster < 300; ++cluster) {
    std::vector<NormalizedEntity> records;
    const size_t size = 1 + rng() % 6;
    for (size_t i = 0; i < size; ++i) {
      NormalizedEntity& r = records.emplace_back(rec(std::to_string(i).c_str(), "", "2024-01-01",
                                                     nullptr, nullptr));
      r.source_name = source();
      r.last_updated = at(std::string("2024-01-0").append(std::to_string(1 + rng() % 9)));
      for (const std::string& f : fields) {
        if (rng() % 4 != 0) r.data.insert_or_assign(f, std::string(f).append("@").append(std::to_string(i)));
      }
    }
    std::vector<const NormalizedEntity*> members;
    for (const NormalizedEntity& r : records) members.push_back(&r);
    const GoldenRecord g = engine.golden_record_of_members(members);
    for (const std::string& f : fields) {
      const std::vector<std::string>& list = *policy.field_policies.at(f).source_priority;
      std::optional<std::string> expected;
      size_t best = list.size();
      for (const NormalizedEntity& r : records) {
        const auto value = r.data.find(f);
        if (value == r.data.end()) continue;
        const size_t rank = std::find(list.begin(), list.end(), r.source_name) - list.begin();
        if (rank < best) best = rank, expected = std::string(value->second);
      }
      if (!expected) expected = SurvivorshipEngine::pick_by_most_recent(records, f);
      const auto it = g.find(f);
      ASSERT_EQ(it == g.end() ? std::nullopt : std::optional<std::string>(it->second), expected)
          << "cluster " << cluster << ", field " << f;
    }
  }
}

TEST(Survivorship, Aggregates) {
  struct Row {
    const char* fn;
    std::vector<NormalizedEntity> records;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"max", values({"9", "10"}), "9"},
      {"min", values({"b", "a"}), "a"},
      {"max", values({"ab", "a"}), "ab"},
      {"min", values({"ab", "a"}), "a"},
      {"MAX", values({"a", "c", "b"}), "c"},
      {"MiN", values({"b", "a"}), "a"},
      {"M\xc4\xb0N", values({"b", "a"}), "a,b"},  // "İ" lower-cases to "i" + U+0307
      {"sum", values({"1", "2.5", "x"}), "3.5"},
      {"SUM", values({"1", "2"}), "3"},
      {"Sum", values({"x"}), "-0"},
      {"sum", values({"0.1", "0.2"}), "0.30000000000000004"},
      {"sum", values({"-0"}), "-0"},
      {"sum", values({"0"}), "0"},
      {"sum", values({"-1", "0.5"}), "-0.5"},
      {"sum", values({"1e21"}), "1000000000000000000000"},
      {"sum", values({"1e308", "1e308"}), "inf"},
      {"sum", values({"-inf"}), "-inf"},
      {"sum", values({"inf", "-Infinity"}), "NaN"},
      {"sum", values({"1e-7"}), "0.0000001"},
      {"sum", values({" 1", "1,5", "", "2"}), "2"},
      {"avg", values({"1", "2"}), "1.5"},
      {"avg", values({"x"}), "<absent>"},
      {"avg", values({"1", "x", "2", "3"}), "2"},
      {"avg", values({"1", "2", "2"}), "1.6666666666666667"},
      {"intersection", values({"a", "a"}), "a"},
      {"INTERSECTION", values({"a", "a"}), "a"},
      {"intersection", values({"a", "b"}), "<absent>"},
      {"intersection", values({"a", "a", "A"}), "<absent>"},
      {nullptr, values({"b", "a", "b"}), "a,b"},
      {"union", values({"b", "a", "b"}), "a,b"},
      {" max", values({"b", "a", "b"}), "a,b"},
      {"union", values({"b", "", "a"}), ",a,b"},
      {"union", values({"10", "9", "1 0"}), "1 0,10,9"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fn ? row.fn : "<none>");
    EXPECT_EQ(golden_f(row.records, aggregate(row.fn)), row.expected);
  }
  // The default strategy has no function: always the distinct-sorted-joined form.
  EXPECT_EQ(golden_f(values({"2", "1", "2"}), by_default(S::kAggregate)), "1,2");
}

TEST(Survivorship, ReadDecimalNumber) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Row {
    const char* text;
    std::optional<double> expected;
  };
  const std::vector<Row> rows = {
      {"1", 1.0}, {"2.5", 2.5}, {".5", 0.5}, {"5.", 5.0}, {"1e3", 1000.0}, {"1E+3", 1000.0},
      {"2.5e-1", 0.25}, {"-0", -0.0}, {"+7", 7.0}, {"-.5", -0.5}, {"007", 7.0},
      {"inf", inf}, {"-Infinity", -inf}, {"+INF", inf}, {"1e400", inf}, {"-1e400", -inf},
      {"1e-400", 0.0}, {"-1e-400", -0.0}, {"5e-324", 5e-324}, {"0e999999999999999999", 0.0},
      {"1e999999999999999999", inf}, {"0.00000000000000000000000000001e330", 1e301},
      {"1000000000000000000000000000000e-330", 1e-300},
      {"", std::nullopt}, {" 1", std::nullopt}, {"1 ", std::nullopt}, {"1,5", std::nullopt},
      {".", std::nullopt}, {"-", std::nullopt}, {"e5", std::nullopt}, {"1e", std::nullopt},
      {"1e+", std::nullopt}, {"0x10", std::nullopt}, {"1_000", std::nullopt},
      {"nan(1)", std::nullopt}, {"infinit", std::nullopt}, {"--1", std::nullopt},
      {"+-1", std::nullopt}, {"1.2.3", std::nullopt}, {"\xd9\xa1", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const std::optional<double> got = read_decimal_number(row.text);
    ASSERT_EQ(got.has_value(), row.expected.has_value());
    if (got) {
      EXPECT_EQ(*got, *row.expected);
      EXPECT_EQ(std::signbit(*got), std::signbit(*row.expected));
    }
  }
  for (const char* nan_text : {"nan", "NaN", "-nan", "+NAN"}) {
    const std::optional<double> got = read_decimal_number(nan_text);
    ASSERT_TRUE(got.has_value()) << nan_text;
    EXPECT_TRUE(std::isnan(*got)) << nan_text;
  }
}

// Random texts over the characters of the number grammar, checked against the grammar as a
// regular expression and against the C library's correctly rounded reader.
TEST(Survivorship, ReadDecimalNumberAgainstReference) {
  const std::regex grammar(R"(^[+-]?((\d+\.?\d*|\.\d+)(e[+-]?\d+)?|inf|infinity|nan)$)",
                           std::regex::icase);
  const std::string alphabet = "0123456789..eE+-infINFatyTY 0019";
  std::mt19937 rng(99);
  for (int iteration = 0; iteration < 200000; ++iteration) {
    std::string text;
    const size_t length = rng() % 12;
    for (size_t k = 0; k < length; ++k) text += alphabet[rng() % alphabet.size()];
    if (iteration % 7 == 0) {
      text.append("e").append(std::to_string(static_cast<int>(rng() % 800) - 400));
    }
    const std::optional<double> got = read_decimal_number(text);
    const bool valid = std::regex_match(text, grammar);
    ASSERT_EQ(got.has_value(), valid) << '"' << text << '"';
    if (!got) continue;
    const double expected = std::strtod(text.c_str(), nullptr);
    if (std::isnan(expected)) {
      ASSERT_TRUE(std::isnan(*got)) << text;
    } else {
      ASSERT_EQ(*got, expected) << text;
      ASSERT_EQ(std::signbit(*got), std::signbit(expected)) << text;
    }
  }
}

}  // namespace
}  // namespace osmira_core::engine
