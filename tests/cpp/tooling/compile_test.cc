#include "tooling/commands/compile.h"

#include <gtest/gtest.h>

#include <string>

#include "base/json_writer.h"
#include "command_fixtures.h"
#include "tooling/parser.h"
#include "tooling/validator.h"

namespace vintrel_core::commands::compile {
namespace {

using osmira_base::Value;
using testing::parse;

Value compile(std::string_view yaml) {
  osmira_base::Result<Value> out = compile_to_ir(parse(yaml));
  EXPECT_TRUE(out.ok());
  return out.ok() ? *out : Value();
}

std::string compile_json(std::string_view yaml) { return osmira_base::compact_json(compile(yaml)); }

std::string plan_hash(std::string_view yaml) {
  const Value out = compile(yaml);
  const Value* hash = out.get("plan_hash");
  return hash != nullptr && hash->is_string() ? hash->as_string() : "";
}

TEST(CompileToIr, FullSpecGolden) {
  EXPECT_EQ(compile_json(testing::kFullSpec),
            R"~({"api_version":"vintrel/v1","blocking_strategy":"composite","entity":"customer",)~"
            R"~("identity_version":"2.1",)~"
            R"~("plan_hash":"sha256:42022fab83ca718a52cf0bf1a4be7f72d632547a8028dfd1c1290fb749a76281",)~"
            R"~("rule_count":3,"sources":[{"name":"crm","system":"salesforce","table":"contacts"},)~"
            R"~({"name":"billing","system":null,"table":null}],)~"
            R"~("thresholds":{"match":0.85,"reject":0.3,"review":0.6}})~");
}

TEST(CompileToIr, NonObjectRootGivesAllNull) {
  // The hash is the document hash of the seven-key object holding only nulls.
  const std::string all_null =
      R"~({"api_version":null,"blocking_strategy":null,"entity":null,"identity_version":null,)~"
      R"~("plan_hash":"sha256:8b6e8d0cf95c9f0e220a45498c20ad538cdb2c34aaed08b0ae1e1125ec7bdf31",)~"
      R"~("rule_count":null,"sources":null,"thresholds":null})~";
  for (std::string_view yaml : {"hello", "[1, 2]", "42", "{}", "~"}) {
    EXPECT_EQ(compile_json(yaml), all_null) << yaml;
  }
}

TEST(CompileToIr, ValuesCopiedWholeOrNull) {
  struct Row {
    const char* yaml;
    const char* key;
    const char* want;  // compact JSON of the summary's value under `key`
  };
  const Row rows[] = {
      // Modern sources have no system or table.
      {"sources: [{name: a, adapter: pg}]", "sources", R"~([{"name":"a","system":null,"table":null}])~"},
      {"sources: [x, {name: b, system: s, table: t, extra: 1}]", "sources",
       R"~([{"name":null,"system":null,"table":null},{"name":"b","system":"s","table":"t"}])~"},
      {"sources: {crm: {system: s}}", "sources", "null"},
      {"sources: []", "sources", "[]"},
      {"rules: {a: 1}", "rule_count", "null"},
      {"rules: []", "rule_count", "0"},
      {"rules: [1, 2, x]", "rule_count", "3"},
      {"api_version: 1", "api_version", "1"},
      {"api_version: [v1]", "api_version", R"~(["v1"])~"},
      {"api_version: null", "api_version", "null"},
      {"entity: customer", "entity", "null"},
      {"entity: {name: null}", "entity", "null"},
      {"entity: {name: {first: x}}", "entity", R"~({"first":"x"})~"},
      {"blocking: {strategy: 3}", "blocking_strategy", "3"},
      {"blocking: [strategy]", "blocking_strategy", "null"},
      {"decision: {thresholds: {match: 0.9, extra: [1]}}", "thresholds", R"~({"extra":[1],"match":0.9})~"},
      {"decision: {thresholds: 0.5}", "thresholds", "0.5"},
      {"decision: weighted", "thresholds", "null"},
      {"identity_version: 2", "identity_version", "2"},
  };
  for (const Row& r : rows) {
    const Value out = compile(r.yaml);
    const Value* v = out.get(r.key);
    ASSERT_NE(v, nullptr) << r.yaml;
    EXPECT_EQ(osmira_base::compact_json(*v), r.want) << r.yaml;
    EXPECT_EQ(out.as_object().size(), 8u) << r.yaml;
  }
}

TEST(CompileToIr, HashCoversTheSevenFactsOnly) {
  const std::string base = plan_hash(testing::kFullSpec);
  auto edited = [](std::string_view from, std::string_view to) {
    std::string text(testing::kFullSpec);
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
  };
  // Rule details, adapters, survivorship and metadata are not summarised.
  EXPECT_EQ(plan_hash(edited("weight: 0.95", "weight: 0.5")), base);
  EXPECT_EQ(plan_hash(edited("adapter: postgres", "adapter: mysql")), base);
  EXPECT_EQ(plan_hash(edited("owner: data-team", "owner: other")), base);
  EXPECT_EQ(plan_hash(edited("strategy: most_recent", "strategy: longest")), base);
  // Every summarised fact moves it.
  EXPECT_NE(plan_hash(edited("identity_version: \"2.1\"", "identity_version: \"2.2\"")), base);
  EXPECT_NE(plan_hash(edited("name: customer", "name: client")), base);
  EXPECT_NE(plan_hash(edited("table: contacts", "table: people")), base);
  EXPECT_NE(plan_hash(edited("reject: 0.3", "reject: 0.2")), base);
  EXPECT_NE(plan_hash(edited("strategy: composite", "strategy: standard")), base);
  // A number and a text of the same digits hash differently.
  EXPECT_NE(plan_hash("api_version: 1"), plan_hash("api_version: \"1\""));
}

TEST(CompileToIr, HashIsTheDocumentHashOfTheSummaryWithoutIt) {
  Value out = compile(testing::kFullSpec);
  const std::string hash = out.get("plan_hash")->as_string();
  out.as_object().erase("plan_hash");
  EXPECT_EQ(hash, document_hash(out));
}

}  // namespace
}  // namespace vintrel_core::commands::compile
