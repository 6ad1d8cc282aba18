#include "core/engine/types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "base/json_writer.h"

namespace osmira_core::engine::types {
namespace {

constexpr const char* kIdA = "67e55044-10b1-426f-9247-bb680e5fe0c8";
constexpr const char* kIdB = "00000000-0000-0000-0000-0000000000ff";

// A complete entity object with `extra` spliced in before the closing brace.
std::string entity(const std::string& extra = "") {
  return std::string(R"({"id":")") + kIdA + R"(","tenant_id":")" + kIdB +
         R"(","external_id":"42","entity_type":"person","data":{"name":"Ann","email":"a@b.c"},)"
         R"("source_name":"crm","last_updated":"2024-01-01T12:00:00+02:00")" + extra + "}";
}

std::string error_of(const std::string& text) {
  auto r = read_entities_json(text);
  return r.ok() ? "<ok>" : r.error().message();
}

TEST(ReadEntities, ObjectForm) {
  auto r = read_entities_json("[" + entity(R"(,"score":5,"nested":{"a":[1,{"b":null}]})") + "]");
  ASSERT_TRUE(r.ok()) << r.error().message();
  ASSERT_EQ(r->size(), 1u);
  const NormalizedEntity& e = (*r)[0];
  EXPECT_EQ(e.id.to_string(), kIdA);
  EXPECT_EQ(e.tenant_id.to_string(), kIdB);
  EXPECT_EQ(e.external_id, "42");
  EXPECT_EQ(e.entity_type, "person");
  EXPECT_EQ(e.source_name, "crm");
  EXPECT_EQ(e.data.size(), 2u);
  EXPECT_EQ(e.data.find(std::string_view("name"))->second, "Ann");
  EXPECT_FALSE(e.valid_from.has_value());
  EXPECT_FALSE(e.valid_to.has_value());
  EXPECT_EQ(e.last_updated, *osmira_base::parse_rfc3339("2024-01-01T10:00:00Z"));
}

TEST(ReadEntities, OptionalInstants) {
  auto nulls = read_entities_json("[" + entity(R"(,"valid_from":null,"valid_to":null)") + "]");
  ASSERT_TRUE(nulls.ok()) << nulls.error().message();
  EXPECT_FALSE((*nulls)[0].valid_from.has_value());
  EXPECT_FALSE((*nulls)[0].valid_to.has_value());
  auto set = read_entities_json(
      "[" + entity(R"(,"valid_from":"2020-05-01 08:00:00z","valid_to":"2030-01-01t00:00:00.5-01:00")") + "]");
  ASSERT_TRUE(set.ok()) << set.error().message();
  EXPECT_EQ(*(*set)[0].valid_from, *osmira_base::parse_rfc3339("2020-05-01T08:00:00Z"));
  EXPECT_EQ(*(*set)[0].valid_to, *osmira_base::parse_rfc3339("2030-01-01T01:00:00.5Z"));
}

TEST(ReadEntities, DataKeepsLastOfRepeatedKey) {
  std::string text = entity();
  text.insert(text.find(R"("data":{)") + 8, R"("name":"first",)");
  auto r = read_entities_json("[" + text + "]");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ((*r)[0].data.size(), 2u);
  EXPECT_EQ((*r)[0].data.find(std::string_view("name"))->second, "Ann");
  auto escaped = read_entities_json(
      R"([{"i\u0064":"67E55044-10B1-426F-9247-BB680E5FE0C8","tenant_id":"{00000000-0000-0000-0000-0000000000FF}",)"
      R"("external_id":"","entity_type":"","data":{"na\u006de":"\u00e9\n"},"source_name":"",)"
      R"("last_updated":"2024-01-01T00:00:00Z"}])");
  ASSERT_TRUE(escaped.ok()) << escaped.error().message();
  EXPECT_EQ((*escaped)[0].id.to_string(), kIdA);  // upper case in, lower case out
  EXPECT_EQ((*escaped)[0].data.find(std::string_view("name"))->second, "\u00e9\n");
}

// Field names are stored once per record list and shared by its records; a field's value
// reads, by iterator and by `find`, through a reference to the record's own stored view, which
// stays where it is after the iterator is gone (callers keep pointers to it); hand-built
// records and their copies read the same way.
TEST(EntityData, NamesSharedValuesStayInPlace) {
  auto r = read_entities_json("[" + entity() + "," + entity(R"(,"x":1)") + "," + entity() + "]");
  ASSERT_TRUE(r.ok()) << r.error().message();
  ASSERT_EQ(r->size(), 3u);
  for (const std::string_view name : {"name", "email"}) {
    const char* first_record_name = (*r)[0].data.find(name)->first.data();
    for (size_t i = 0; i < r->size(); ++i) {
      const EntityData& data = (*r)[i].data;
      const auto it = data.find(name);
      ASSERT_NE(it, data.end()) << name << " in record " << i;
      EXPECT_EQ(it->first, name);
      EXPECT_EQ(it->first.data(), first_record_name) << name << " in record " << i;
      const std::string_view* value = &it->second;
      const std::string_view* again = nullptr;
      for (const auto& [field, text] : data) {
        if (field == name) again = &text;
      }
      EXPECT_EQ(value, again) << name << " in record " << i;
      EXPECT_EQ(*value, name == "name" ? "Ann" : "a@b.c");
    }
  }
  NormalizedEntity built;
  built.data.insert_or_assign("name", "Bo");
  built.data.insert_or_assign("city", "Rome");
  built.data.insert_or_assign("name", "Al");  // replaces, keeps its place
  const NormalizedEntity copy = built;
  for (const NormalizedEntity* e : {static_cast<const NormalizedEntity*>(&built), &copy}) {
    std::string listed;
    for (const auto& [field, text] : e->data) {
      listed += std::string(field) + "=" + std::string(text) + ";";
    }
    EXPECT_EQ(listed, "name=Al;city=Rome;");
    EXPECT_EQ(*&e->data.find("city")->second, "Rome");
    EXPECT_EQ(e->data.find("missing"), e->data.end());
  }
  EXPECT_NE(copy.data.find("name")->first.data(), built.data.find("name")->first.data());
}

TEST(ReadEntities, ArrayForm) {
  const std::string nine = std::string(R"(["urn:uuid:)") + kIdA + R"(",")" +
                           "00000000000000000000000000000000" +
                           R"(","e1","t",{"k":"v"},"src",null,"2030-01-01T00:00:00Z","2024-01-01T00:00:00Z"])";
  auto r = read_entities_json("[" + nine + "," + entity() + "]");
  ASSERT_TRUE(r.ok()) << r.error().message();
  ASSERT_EQ(r->size(), 2u);
  EXPECT_EQ((*r)[0].id.to_string(), kIdA);
  EXPECT_EQ((*r)[0].external_id, "e1");
  EXPECT_FALSE((*r)[0].valid_from.has_value());
  EXPECT_TRUE((*r)[0].valid_to.has_value());
  EXPECT_EQ((*r)[1].external_id, "42");
}

TEST(ReadEntities, EmptyArray) {
  auto r = read_entities_json(" [ ] \n");
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->empty());
}

TEST(ReadEntities, Messages) {
  const std::string id = kIdA;
  struct Row { std::string text; std::string error; };
  const Row rows[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{}", "invalid type: map, expected a sequence at line 1 column 0"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[] x", "trailing characters at line 1 column 4"},
      {"[5]", "invalid type: integer `5`, expected struct NormalizedEntity at line 1 column 2"},
      {"[\"x\"]", "invalid type: string \"x\", expected struct NormalizedEntity at line 1 column 4"},
      {"[null]", "invalid type: null, expected struct NormalizedEntity at line 1 column 5"},
      {"[{}]", "missing field `id` at line 1 column 3"},
      {"[\n  {\n  }\n]", "missing field `id` at line 3 column 3"},
      {R"([{"id":")" + id + R"("}])", "missing field `tenant_id` at line 1 column 46"},
      {R"([{"id":")" + id + R"(","id":"x"}])", "duplicate field `id` at line 1 column 50"},
      {R"([{"valid_to":null,"valid_to":null}])", "duplicate field `valid_to` at line 1 column 28"},
      {R"([{"id":42}])",
       "invalid type: integer `42`, expected a formatted UUID string at line 1 column 9"},
      {R"([{"id":"nope"}])",
       "UUID parsing failed: invalid length: expected 32 hexadecimal digits, or 36 characters in "
       "the hyphenated 8-4-4-4-12 form (optionally in braces or behind urn:uuid:), found 4 "
       "characters at line 1 column 13"},
      {R"([{"data":{"age":42}}])",
       "invalid type: integer `42`, expected a string at line 1 column 18"},
      {R"([{"data":{"a":null}}])", "invalid type: null, expected a string at line 1 column 18"},
      {R"([{"data":[]}])", "invalid type: sequence, expected a map at line 1 column 9"},
      {R"([{"external_id":7}])", "invalid type: integer `7`, expected a string at line 1 column 17"},
      {R"([{"valid_from":5}])",
       "invalid type: integer `5`, expected an RFC 3339 formatted date and time string at line 1 column 16"},
      {R"([{"last_updated":"2024-13-01T00:00:00Z"}])", "input is out of range at line 1 column 39"},
      {R"([{"last_updated":"2024-01-01"}])", "premature end of input at line 1 column 29"},
      {R"([{"last_updated":"yesterday"}])", "input contains invalid characters at line 1 column 28"},
      {R"([{"last_updated":"2023-02-29T00:00:00Z"}])",
       "no possible date and time matching input at line 1 column 39"},
      {"[[\"" + id + "\"]]",
       "invalid length 1, expected struct NormalizedEntity with 9 elements at line 1 column 41"},
      {"[[]]", "invalid length 0, expected struct NormalizedEntity with 9 elements at line 1 column 3"},
      {"[" + entity() + "," + "]", "trailing comma at line 1 column " + std::to_string(entity().size() + 3)},
      {"[" + entity() + "", "EOF while parsing a list at line 1 column " + std::to_string(entity().size() + 1)},
  };
  for (const Row& r : rows) EXPECT_EQ(error_of(r.text), r.error) << r.text;
}

TEST(ReadEntities, ArrayFormWithTenValues) {
  const std::string ten = std::string(R"(["urn:uuid:)") + kIdA + R"(",")" + kIdB +
                          R"(","e1","t",{},"src",null,null,"2024-01-01T00:00:00Z",1])";
  const std::string error = error_of("[" + ten + "]");
  EXPECT_EQ(error, "trailing characters at line 1 column " + std::to_string(ten.size()));
}

TEST(Decision, TextForms) {
  struct Row { Decision d; const char* json; const char* display; const char* key; };
  const Row rows[] = {
      {Decision::kMerge, "merge", "Merge", "merge"},
      {Decision::kReview, "review", "Review", "review"},
      {Decision::kNoMerge, "no_merge", "NoMerge", "nomerge"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(decision_json_text(r.d), r.json);
    EXPECT_EQ(decision_display_name(r.d), r.display);
    EXPECT_EQ(decision_telemetry_key(r.d), r.key);
    EXPECT_EQ(to_json(r.d), osmira_base::Value(r.json));
  }
}

TEST(MatchDecision, JsonForm) {
  MatchDecision d;
  d.entity_a_id = *Uuid::parse("67E55044-10B1-426F-9247-BB680E5FE0C8");
  d.entity_b_id = *Uuid::parse(kIdB);
  d.decision = Decision::kMerge;
  d.confidence = 0.85;
  d.rule_results.push_back(RuleResult{"email", "Exact match on email", 1.0, 2.0, true});
  d.matched_on = {"email"};
  d.temporal_adjustment = 1.0;
  EXPECT_EQ(osmira_base::compact_json(to_json(d)),
            R"({"blocking_key":null,"confidence":0.85,"decision":"merge",)"
            R"("entity_a_id":"67e55044-10b1-426f-9247-bb680e5fe0c8",)"
            R"("entity_b_id":"00000000-0000-0000-0000-0000000000ff","matched_on":["email"],)"
            R"("rule_results":[{"explanation":"Exact match on email","matched":true,)"
            R"("rule_name":"email","score":1.0,"weight":2.0}],"temporal_adjustment":1.0})");

  MatchDecision e;
  e.decision = Decision::kNoMerge;
  e.confidence = std::numeric_limits<double>::quiet_NaN();
  e.posterior_probability = std::numeric_limits<double>::infinity();
  e.blocking_key = "SORTED_NEIGHBORHOOD";
  e.matched_on = {"EXCLUDED"};
  e.rule_results.push_back(RuleResult{"r", "", -std::numeric_limits<double>::infinity(), 0.0, false});
  const osmira_base::Value v = to_json(e);
  EXPECT_TRUE(v.get("confidence")->is_null());
  ASSERT_NE(v.get("posterior_probability"), nullptr);
  EXPECT_TRUE(v.get("posterior_probability")->is_null());
  EXPECT_EQ(*v.get("blocking_key"), osmira_base::Value("SORTED_NEIGHBORHOOD"));
  EXPECT_TRUE(v.get("temporal_adjustment")->is_null());
  EXPECT_TRUE(v.get("rule_results")->as_array()[0].get("score")->is_null());
  EXPECT_EQ(*v.get("decision"), osmira_base::Value("no_merge"));

  MatchDecision f;  // no posterior: the key is left out entirely
  EXPECT_EQ(to_json(f).get("posterior_probability"), nullptr);
  f.posterior_probability = 0.5;
  EXPECT_EQ(*to_json(f).get("posterior_probability"), osmira_base::Value(0.5));
}

TEST(OrderedPair, SmallerFirst) {
  const Uuid a = *Uuid::parse("00000000-0000-0000-0000-0000000000ff");
  const Uuid b = *Uuid::parse("01000000-0000-0000-0000-000000000000");
  EXPECT_EQ(ordered_pair(b, a), std::pair(a, b));
  EXPECT_EQ(ordered_pair(a, b), std::pair(a, b));
}

}  // namespace
}  // namespace osmira_core::engine::types

namespace osmira_core::engine::types {
namespace {

// Every truncation and many single-byte mutations of a valid text either read or fail with
// a positioned message; none may crash (run under the sanitizers).
TEST(ReadEntities, DamagedTextsFailCleanly) {
  const std::string text = "[" + entity(R"(,"valid_from":"2020-01-01T00:00:00.5+01:00")") +
                           ",[\"" + kIdA + "\",\"" + kIdB +
                           "\",\"e\",\"t\",{\"k\":\"v\"},\"s\",null,null,\"2024-01-01 00:00:00z\"]]";
  ASSERT_TRUE(read_entities_json(text).ok());
  for (size_t n = 0; n < text.size(); ++n) {
    auto r = read_entities_json(text.substr(0, n));
    ASSERT_FALSE(r.ok()) << n;
    EXPECT_NE(r.error().message().find(" at line 1 column "), std::string::npos);
  }
  const char replacements[] = {'"', '{', '}', '[', ']', ',', ':', 'x', '0', ' ', '\\', '\xff', '\0'};
  for (size_t i = 0; i < text.size(); ++i) {
    for (const char c : replacements) {
      std::string damaged = text;
      damaged[i] = c;
      auto r = read_entities_json(damaged);
      if (!r.ok()) {
        EXPECT_NE(r.error().message().find(" at line "), std::string::npos) << damaged;
      }
    }
  }
}

}  // namespace
}  // namespace osmira_core::engine::types
