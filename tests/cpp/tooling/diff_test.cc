#include "tooling/commands/diff.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/json_writer.h"
#include "command_fixtures.h"
#include "tooling/commands/json_pointer.h"
#include "tooling/parser.h"

namespace vintrel_core::commands::diff {
namespace {

using osmira_base::Value;
using testing::parse;

DiffResult diff_of(std::string_view old_yaml, std::string_view new_yaml) {
  osmira_base::Result<DiffResult> out = compute_diff(old_yaml, new_yaml);
  EXPECT_TRUE(out.ok()) << (out.ok() ? "" : out.error().message());
  return out.ok() ? *out : DiffResult();
}

std::string diff_json(std::string_view old_yaml, std::string_view new_yaml) {
  return osmira_base::compact_json(to_value(diff_of(old_yaml, new_yaml)));
}

// The compact JSON of one key of the written result.
std::string written(const DiffResult& d, std::string_view key) {
  const Value tree = to_value(d);
  const Value* v = tree.get(key);
  return v == nullptr ? "<missing>" : osmira_base::compact_json(*v);
}

std::string changes_json(const std::vector<FieldChange>& changes) {
  DiffResult d;
  d.entity_changes = changes;
  return written(d, "entity_changes");
}

TEST(JsonPointer, Lookup) {
  const Value doc = parse(
      "decision: {scoring: {strategy: fs}}\n"
      "list: [a, {b: c}]\n"
      "'a/b': slash\n"
      "'m~n': tilde\n"
      "'': empty\n");
  struct Row {
    const char* pointer;
    const char* want;  // compact JSON of the node, or "nothing"
  };
  const Row rows[] = {
      {"/decision/scoring/strategy", R"~("fs")~"},
      {"/decision/scoring", R"~({"strategy":"fs"})~"},
      {"/list/0", R"~("a")~"},
      {"/list/1/b", R"~("c")~"},
      {"/a~1b", R"~("slash")~"},
      {"/m~0n", R"~("tilde")~"},
      {"/", R"~("empty")~"},
      {"/decision/missing", "nothing"},
      {"/decision/scoring/strategy/x", "nothing"},
      {"/list/2", "nothing"},
      {"/list/01", "nothing"},
      {"/list/-", "nothing"},
      {"/list/+1", "nothing"},
      {"/list/99999999999999999999999", "nothing"},
      {"/m~2n", "nothing"},
      {"/m~", "nothing"},
      {"decision", "nothing"},
  };
  for (const Row& r : rows) {
    const Value* node = json_pointer(doc, r.pointer);
    EXPECT_EQ(node == nullptr ? "nothing" : osmira_base::compact_json(*node), r.want) << r.pointer;
  }
  EXPECT_EQ(json_pointer(doc, ""), &doc);
}

TEST(FormatValue, Renderings) {
  const Value doc = parse("{s: 'a \"b\"', n: null, t: true, i: 5, f: 1.0, g: 0.85, neg: -3, "
                          "arr: [x, 1, null], obj: {b: 1, a: 'q\"'}}");
  EXPECT_EQ(format_value(nullptr), "<absent>");
  EXPECT_EQ(format_value(doc.get("s")), "a \"b\"");
  EXPECT_EQ(format_value(doc.get("n")), "null");
  EXPECT_EQ(format_value(doc.get("t")), "true");
  EXPECT_EQ(format_value(doc.get("i")), "5");
  EXPECT_EQ(format_value(doc.get("f")), "1.0");
  EXPECT_EQ(format_value(doc.get("g")), "0.85");
  EXPECT_EQ(format_value(doc.get("neg")), "-3");
  EXPECT_EQ(format_value(doc.get("arr")), R"~(["x",1,null])~");
  EXPECT_EQ(format_value(doc.get("obj")), R"~({"a":"q\"","b":1})~");
}

TEST(MergedObjectKeys, UnionInByteOrder) {
  const Value a = parse("{b: 1, a: 2, Z: 3}");
  const Value b = parse("{c: 1, a: 2, _: 0}");
  const Value text("x");
  using Keys = std::vector<std::string>;
  EXPECT_EQ(merged_object_keys(&a, &b), (Keys{"Z", "_", "a", "b", "c"}));
  EXPECT_EQ(merged_object_keys(&a, &text), (Keys{"Z", "a", "b"}));
  EXPECT_EQ(merged_object_keys(nullptr, &b), (Keys{"_", "a", "c"}));
  EXPECT_EQ(merged_object_keys(&text, nullptr), Keys{});
}

TEST(CollectValueChanges, DepthFirstLeaves) {
  struct Row {
    const char* a;
    const char* b;
    const char* want;  // compact JSON of the records
  };
  const Row rows[] = {
      {"{x: 1}", "{x: 1}", "[]"},
      {"{x: 1}", "{x: 2}", R"~([{"new_value":"2","old_value":"1","path":"p.x"}])~"},
      // Only on one side: the present side rendered whole.
      {"{x: 1}", "{x: 1, y: {z: [1]}}", R"~([{"new_value":"{\"z\":[1]}","old_value":"<absent>","path":"p.y"}])~"},
      {"{y: null}", "{}", R"~([{"new_value":"<absent>","old_value":"null","path":"p.y"}])~"},
      // Depth-first in merged key order.
      {"{a: {c: 1, b: 1}, d: 1}", "{a: {c: 2, b: 2}, d: 2}",
       R"~([{"new_value":"2","old_value":"1","path":"p.a.b"},{"new_value":"2","old_value":"1","path":"p.a.c"},)~"
       R"~({"new_value":"2","old_value":"1","path":"p.d"}])~"},
      // Arrays are never descended into.
      {"{k: [1, 2]}", "{k: [1, 3]}", R"~([{"new_value":"[1,3]","old_value":"[1,2]","path":"p.k"}])~"},
      // Object against non-object, and kinds that never compare equal.
      {"{k: {a: 1}}", "{k: x}", R"~([{"new_value":"x","old_value":"{\"a\":1}","path":"p.k"}])~"},
      {"{k: '5'}", "{k: 5}", R"~([{"new_value":"5","old_value":"5","path":"p.k"}])~"},
      {"{k: 'null'}", "{k: null}", R"~([{"new_value":"null","old_value":"null","path":"p.k"}])~"},
      {"{k: 1}", "{k: 1.0}", R"~([{"new_value":"1.0","old_value":"1","path":"p.k"}])~"},
      // Dotted keys are not escaped.
      {"{'a.b': 1}", "{'a.b': 2}", R"~([{"new_value":"2","old_value":"1","path":"p.a.b"}])~"},
      {"x", "y", R"~([{"new_value":"y","old_value":"x","path":"p"}])~"},
  };
  for (const Row& r : rows) {
    std::vector<FieldChange> out;
    collect_value_changes("p", parse(r.a), parse(r.b), out);
    EXPECT_EQ(changes_json(out), r.want) << r.a << " vs " << r.b;
  }
}

TEST(ComputeDiff, ChangeInEveryAreaGolden) {
  EXPECT_EQ(
      diff_json(testing::kFullSpec, testing::kRevisedSpec),
      R"~({"blocking_changed":true,"blocking_changes":[{"new_value":"[{\"field\":\"email_domain\",)~"
      R"~(\"transform\":\"lowercase\"},{\"name\":\"zip\"},{\"name\":\"dob_year\"}]",)~"
      R"~("old_value":"[{\"field\":\"email_domain\",\"transform\":\"lowercase\"},{\"name\":\"zip\"}]",)~"
      R"~("path":"blocking.keys"}],"decision_changes":[{"new_value":"{\"name\":\"auto\"}",)~"
      R"~("old_value":"{\"name\":\"manual\"}","path":"decision.review_queue"}],"entity_changed":true,)~"
      R"~("entity_changes":[{"new_value":"60","old_value":"30",)~"
      R"~("path":"entity.compliance.retention_days"}],"fs_changes":{"fields_added":["dob"],)~"
      R"~("fields_removed":["full_name"],"m_probability_changes":[{"field":"email",)~"
      R"~("impact":"increases match likelihood","new_value":0.97,"old_value":0.95}],)~"
      R"~("max_composite_delta":0.0,"threshold_changes":[{"new_value":"0.8500","old_value":"0.9000",)~"
      R"~("path":"scoring.thresholds.match"}],"u_probability_changes":[{"field":"email",)~"
      R"~("impact":"decreases match likelihood","new_value":0.02,"old_value":0.01}],)~"
      R"~("weight_changes":[{"new_value":"2.0000","old_value":"1.0000",)~"
      R"~("path":"scoring.fields.email.weight"}]},"metadata_changed":true,)~"
      R"~("metadata_changes":[{"new_value":"identity-team","old_value":"data-team",)~"
      R"~("path":"metadata.owner"}],"rules_added":["dob_exact"],"rules_modified":[{"field":"weight",)~"
      R"~("name":"email_exact","new_value":"1.0","old_value":"1"}],"rules_removed":["name_fuzzy"],)~"
      R"~("scoring_changed":true,"scoring_changes":[{"new_value":"[{\"m_probability\":0.97,)~"
      R"~(\"name\":\"email\",\"u_probability\":0.02,\"weight\":2},{\"m_probability\":0.8,\"name\":\"dob\",)~"
      R"~(\"u_probability\":0.05}]","old_value":"[{\"m_probability\":0.95,\"name\":\"email\",)~"
      R"~(\"u_probability\":0.01,\"weight\":1},{\"m_probability\":0.9,\"name\":\"full_name\",)~"
      R"~(\"u_probability\":0.1}]","path":"decision.scoring.fields"},{"new_value":"0.85",)~"
      R"~("old_value":"0.9","path":"decision.scoring.thresholds.match"}],"sources_added":["web"],)~"
      R"~("sources_modified":[{"field":"attributes","name":"crm","new_value":"{\"birth_date\":\"dob\",)~"
      R"~(\"email\":\"email_address\",\"full_name\":\"name\",\"phone\":\"mobile\"}",)~"
      R"~("old_value":"{\"email\":\"email_address\",\"full_name\":\"name\",\"phone\":\"mobile\"}"},)~"
      R"~({"field":"table","name":"crm","new_value":"contacts_v2","old_value":"contacts"}],)~"
      R"~("sources_removed":["billing"],)~"
      R"~("summary":"version: 2.1 -> 2.2; 1 entity change(s); sources: +1 -1 ~2; 1 blocking change(s); )~"
      R"~(rules: +1 -1 ~1; 1 survivorship change(s); thresholds changed; 2 scoring change(s); )~"
      R"~(1 other decision change(s); 1 metadata change(s); 6 Fellegi-Sunter change(s)",)~"
      R"~("survivorship_changed":true,"survivorship_changes":[{"new_value":"[{\"field\":\"email\",)~"
      R"~(\"strategy\":\"source_priority\"},{\"field\":\"full_name\",\"source_priority\":[\"crm\",)~"
      R"~(\"billing\",7],\"strategy\":\"source_priority\"}]","old_value":"[{\"field\":\"email\",)~"
      R"~(\"strategy\":\"most_recent\"},{\"field\":\"full_name\",\"source_priority\":[\"crm\",\"billing\",)~"
      R"~(7],\"strategy\":\"source_priority\"}]","path":"survivorship.rules"}],"thresholds_changed":true,)~"
      R"~("version_changed":true})~");
}

TEST(ComputeDiff, NoChangesGolden) {
  const std::string none =
      R"~({"blocking_changed":false,"blocking_changes":[],"decision_changes":[],"entity_changed":false,)~"
      R"~("entity_changes":[],"metadata_changed":false,"metadata_changes":[],"rules_added":[],)~"
      R"~("rules_modified":[],"rules_removed":[],"scoring_changed":false,"scoring_changes":[],)~"
      R"~("sources_added":[],"sources_modified":[],"sources_removed":[],"summary":"No changes detected.",)~"
      R"~("survivorship_changed":false,"survivorship_changes":[],"thresholds_changed":false,)~"
      R"~("version_changed":false})~";
  EXPECT_EQ(diff_json(testing::kFullSpec, testing::kFullSpec), none);
  EXPECT_EQ(diff_json("{}", "{}"), none);
  EXPECT_EQ(diff_json("hello", "[1, 2]"), none);  // non-object roots are empty specs
  EXPECT_EQ(diff_json("b: {y: 2, x: 1}  # note\na: 1\n", "{a: 1, b: {x: 1, y: 2}}"), none);
}

TEST(ComputeDiff, ParseErrorOfTheOldTextWins) {
  const osmira_base::Result<Value> old_error = parser::parse_yaml("a: [1");
  const osmira_base::Result<Value> new_error = parser::parse_yaml("");
  ASSERT_FALSE(old_error.ok());
  ASSERT_FALSE(new_error.ok());
  ASSERT_NE(old_error.error().message(), new_error.error().message());

  osmira_base::Result<DiffResult> both = compute_diff("a: [1", "");
  ASSERT_FALSE(both.ok());
  EXPECT_EQ(both.error().message(), old_error.error().message());
  osmira_base::Result<DiffResult> second = compute_diff("{}", "");
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().message(), new_error.error().message());
}

TEST(ComputeDiff, VersionAndSummary) {
  struct Row {
    const char* old_yaml;
    const char* new_yaml;
    bool changed;
    const char* summary;
  };
  const Row rows[] = {
      {"{}", "identity_version: unknown", false, "No changes detected."},
      {"identity_version: '1.0'", "{}", true, "version: 1.0 -> unknown"},
      {"identity_version: 1", "identity_version: 2", false, "No changes detected."},
      {"identity_version: null", "identity_version: [x]", false, "No changes detected."},
      {"identity_version: a", "identity_version: b", true, "version: a -> b"},
  };
  for (const Row& r : rows) {
    const DiffResult d = diff_of(r.old_yaml, r.new_yaml);
    EXPECT_EQ(d.version_changed, r.changed) << r.old_yaml << " -> " << r.new_yaml;
    EXPECT_EQ(d.summary, r.summary) << r.old_yaml << " -> " << r.new_yaml;
  }
}

TEST(ComputeDiff, Sections) {
  struct Row {
    const char* old_yaml;
    const char* new_yaml;
    const char* key;   // written key of the section's list
    const char* want;  // its compact JSON
    const char* summary;
  };
  const Row rows[] = {
      {"{}", "entity: {name: c}", "entity_changes",
       R"~([{"new_value":"<present>","old_value":"<absent>","path":"entity"}])~", "1 entity change(s)"},
      {"metadata: null", "{}", "metadata_changes",
       R"~([{"new_value":"<absent>","old_value":"<present>","path":"metadata"}])~", "1 metadata change(s)"},
      {"entity: {compliance: {retention_days: 30}}", "entity: {compliance: {retention_days: 60}}",
       "entity_changes", R"~([{"new_value":"60","old_value":"30","path":"entity.compliance.retention_days"}])~",
       "1 entity change(s)"},
      {"blocking: {keys: [a]}", "blocking: {keys: [a, b], strategy: s}", "blocking_changes",
       R"~([{"new_value":"[\"a\",\"b\"]","old_value":"[\"a\"]","path":"blocking.keys"},)~"
       R"~({"new_value":"s","old_value":"<absent>","path":"blocking.strategy"}])~",
       "2 blocking change(s)"},
      {"survivorship: a", "survivorship: b", "survivorship_changes",
       R"~([{"new_value":"b","old_value":"a","path":"survivorship"}])~", "1 survivorship change(s)"},
  };
  for (const Row& r : rows) {
    const DiffResult d = diff_of(r.old_yaml, r.new_yaml);
    EXPECT_EQ(written(d, r.key), r.want) << r.old_yaml << " -> " << r.new_yaml;
    EXPECT_EQ(d.summary, r.summary) << r.old_yaml << " -> " << r.new_yaml;
  }
}

TEST(ComputeDiff, KeyedLists) {
  struct Row {
    const char* old_yaml;
    const char* new_yaml;
    const char* added;
    const char* removed;
    const char* modified;
  };
  const Row rules[] = {
      // An integer and a float of the same value differ.
      {"rules: [{name: r, weight: 1}]", "rules: [{name: r, weight: 1.0}]", "[]", "[]",
       R"~([{"field":"weight","name":"r","new_value":"1.0","old_value":"1"}])~"},
      // "name" in one spec, "rule" in the other: same rule, no change.
      {"rules: [{name: r, type: exact}]", "rules: [{rule: r, type: exact}]", "[]", "[]", "[]"},
      // A present non-string "name" hides a string "rule"; non-objects take no part.
      {"rules: [{name: 7, rule: r}, x, {type: t}]", "rules: [{rule: r}]", R"~(["r"])~", "[]", "[]"},
      // "rules" wins when it is an array; else "matching".
      {"rules: [{name: a}]\nmatching: [{name: b}]", "rules: {x: 1}\nmatching: [{name: a}]", "[]", "[]", "[]"},
      {"matching: [{name: a}]", "matching: {a: 1}", "[]", R"~(["a"])~", "[]"},
      // Repeats: an added id twice; a repeated old id repeats its records.
      {"rules: []", "rules: [{name: d}, {name: d}]", R"~(["d","d"])~", "[]", "[]"},
      {"rules: [{name: r, w: 1}, {name: r, w: 5}]", "rules: [{name: r, w: 2}]", "[]", "[]",
       R"~([{"field":"w","name":"r","new_value":"2","old_value":"1"},{"field":"w","name":"r","new_value":"2","old_value":"1"}])~"},
      // Nested values are not descended into; missing keys read "<absent>".
      {"rules: [{name: r, options: {a: 1}}]", "rules: [{name: r, options: {a: 2}, extra: null}]", "[]", "[]",
       R"~([{"field":"extra","name":"r","new_value":"null","old_value":"<absent>"},)~"
       R"~({"field":"options","name":"r","new_value":"{\"a\":2}","old_value":"{\"a\":1}"}])~"},
  };
  for (const Row& r : rules) {
    const DiffResult d = diff_of(r.old_yaml, r.new_yaml);
    EXPECT_EQ(written(d, "rules_added"), r.added) << r.old_yaml << " -> " << r.new_yaml;
    EXPECT_EQ(written(d, "rules_removed"), r.removed) << r.old_yaml << " -> " << r.new_yaml;
    EXPECT_EQ(written(d, "rules_modified"), r.modified) << r.old_yaml << " -> " << r.new_yaml;
  }
  const Row sources[] = {
      {"sources: [{name: a, table: t}, {name: b}]", "sources: [{name: a, table: u, id: k}, {name: b}, {name: c}]",
       R"~(["c"])~", "[]",
       R"~([{"field":"id","name":"a","new_value":"k","old_value":"<absent>"},)~"
       R"~({"field":"table","name":"a","new_value":"u","old_value":"t"}])~"},
      {"sources: {a: {table: t}}", "sources: [{name: a}]", R"~(["a"])~", "[]", "[]"},
      {"sources: [{table: t}, {name: 3}]", "sources: []", "[]", "[]", "[]"},
  };
  for (const Row& r : sources) {
    const DiffResult d = diff_of(r.old_yaml, r.new_yaml);
    EXPECT_EQ(written(d, "sources_added"), r.added) << r.old_yaml << " -> " << r.new_yaml;
    EXPECT_EQ(written(d, "sources_removed"), r.removed) << r.old_yaml << " -> " << r.new_yaml;
    EXPECT_EQ(written(d, "sources_modified"), r.modified) << r.old_yaml << " -> " << r.new_yaml;
  }
  EXPECT_EQ(diff_of(rules[0].old_yaml, rules[0].new_yaml).summary, "rules: +0 -0 ~1");
  EXPECT_EQ(diff_of(sources[0].old_yaml, sources[0].new_yaml).summary, "sources: +1 -0 ~2");
}

TEST(ComputeDiff, Decision) {
  struct Row {
    const char* old_yaml;
    const char* new_yaml;
    bool thresholds_changed;
    const char* scoring_changes;
    const char* decision_changes;
    const char* summary;
  };
  const Row rows[] = {
      {"{}", "decision: {thresholds: {match: 0.9}}", true, "[]",
       R"~([{"new_value":"<present>","old_value":"<absent>","path":"decision"}])~",
       "thresholds changed; 1 other decision change(s)"},
      {"decision: {scoring: {strategy: fellegi_sunter}}", "{}", true, "[]",
       R"~([{"new_value":"<absent>","old_value":"<present>","path":"decision"}])~",
       "thresholds changed; 1 other decision change(s)"},
      {"decision: {thresholds: {match: 0.9}}", "decision: {thresholds: {match: 0.8}}", true, "[]", "[]",
       "thresholds changed"},
      {"decision: {thresholds: {match: 0.9}}", "decision: {review_queue: x}", true, "[]",
       R"~([{"new_value":"x","old_value":"<absent>","path":"decision.review_queue"}])~",
       "thresholds changed; 1 other decision change(s)"},
      {"decision: {a: 1}", "decision: {a: 1, scoring: weighted_sum}", false,
       R"~([{"new_value":"weighted_sum","old_value":"<absent>","path":"decision.scoring"}])~", "[]",
       "1 scoring change(s)"},
      {"decision: {scoring: {method: ws, w: [1]}}", "decision: {}", false,
       R"~([{"new_value":"<absent>","old_value":"{\"method\":\"ws\",\"w\":[1]}","path":"decision.scoring"}])~", "[]",
       "1 scoring change(s)"},
      {"decision: {scoring: {method: ws, opts: {a: 1}}}", "decision: {scoring: {method: em, opts: {a: 2}}}",
       false,
       R"~([{"new_value":"em","old_value":"ws","path":"decision.scoring.method"},)~"
       R"~({"new_value":"2","old_value":"1","path":"decision.scoring.opts.a"}])~",
       "[]", "2 scoring change(s)"},
      {"decision: {review_queue: {name: a}}", "decision: {review_queue: {name: b}}", false, "[]",
       R"~([{"new_value":"{\"name\":\"b\"}","old_value":"{\"name\":\"a\"}","path":"decision.review_queue"}])~",
       "1 other decision change(s)"},
      {"decision: weighted", "decision: fs", false, "[]", "[]", "No changes detected."},
      {"decision: [1]", "decision: {thresholds: {}}", true, "[]", "[]", "thresholds changed"},
  };
  for (const Row& r : rows) {
    const DiffResult d = diff_of(r.old_yaml, r.new_yaml);
    EXPECT_EQ(d.thresholds_changed, r.thresholds_changed) << r.old_yaml << " -> " << r.new_yaml;
    EXPECT_EQ(d.scoring_changed, std::string(r.scoring_changes) != "[]") << r.old_yaml << " -> " << r.new_yaml;
    EXPECT_EQ(written(d, "scoring_changes"), r.scoring_changes) << r.old_yaml << " -> " << r.new_yaml;
    EXPECT_EQ(written(d, "decision_changes"), r.decision_changes) << r.old_yaml << " -> " << r.new_yaml;
    EXPECT_EQ(d.summary, r.summary) << r.old_yaml << " -> " << r.new_yaml;
    EXPECT_FALSE(d.fs_changes.has_value()) << r.old_yaml << " -> " << r.new_yaml;
  }
}

// A decision whose scoring uses Fellegi-Sunter with the given fields and thresholds.
std::string fs_spec(std::string_view fields, std::string_view thresholds = "") {
  std::string out = "decision:\n  scoring:\n    strategy: fellegi_sunter\n    fields: ";
  out += fields;
  out += "\n";
  if (!thresholds.empty()) {
    out += "    thresholds: ";
    out += thresholds;
    out += "\n";
  }
  return out;
}

TEST(ComputeDiff, FellegiSunter) {
  struct Row {
    std::string old_yaml;
    std::string new_yaml;
    const char* fs_changes;  // compact JSON, or "<missing>" when absent
  };
  const Row rows[] = {
      // Only the new spec uses the strategy: its fields are all added, thresholds not compared.
      {"{}", fs_spec("[{name: a}, {name: b}, {m_probability: 0.5}]", "{match: 0.9}"),
       R"~({"fields_added":["a","b"],"fields_removed":[],"m_probability_changes":[],"max_composite_delta":0.0,)~"
       R"~("threshold_changes":[],"u_probability_changes":[],"weight_changes":[]})~"},
      // Moves in both directions; the u impact is reversed.
      {fs_spec("[{name: a, m_probability: 0.9, u_probability: 0.1}, {name: b, u_probability: 0.05}]"),
       fs_spec("[{name: a, m_probability: 0.95, u_probability: 0.05}, {name: b, u_probability: 0.1}]"),
       R"~({"fields_added":[],"fields_removed":[],"m_probability_changes":[{"field":"a",)~"
       R"~("impact":"increases match likelihood","new_value":0.95,"old_value":0.9}],"max_composite_delta":0.0,)~"
       R"~("threshold_changes":[],"u_probability_changes":[{"field":"a","impact":"increases match likelihood",)~"
       R"~("new_value":0.05,"old_value":0.1},{"field":"b","impact":"decreases match likelihood","new_value":0.1,)~"
       R"~("old_value":0.05}],"weight_changes":[]})~"},
      {fs_spec("[{name: a, m_probability: 1}]"), fs_spec("[{name: a, m_probability: 0.5}]"),
       R"~({"fields_added":[],"fields_removed":[],"m_probability_changes":[{"field":"a",)~"
       R"~("impact":"decreases match likelihood","new_value":0.5,"old_value":1.0}],"max_composite_delta":0.0,)~"
       R"~("threshold_changes":[],"u_probability_changes":[],"weight_changes":[]})~"},
      // Within the tolerance, an int against the same float, or a non-number: nothing.
      {fs_spec("[{name: a, m_probability: 0.9, weight: 1}]"),
       fs_spec("[{name: a, m_probability: 0.90000000001, weight: 1.0}]"), "<missing>"},
      // The tolerance is exclusive: a move of exactly 1e-10 is no change, a larger one is.
      {fs_spec("[{name: a, m_probability: 0, u_probability: 0.1}]"),
       fs_spec("[{name: a, m_probability: 1e-10, u_probability: 0.1000000002}]"),
       R"~({"fields_added":[],"fields_removed":[],"m_probability_changes":[],"max_composite_delta":0.0,)~"
       R"~("threshold_changes":[],"u_probability_changes":[{"field":"a","impact":"decreases match likelihood",)~"
       R"~("new_value":0.1000000002,"old_value":0.1}],"weight_changes":[]})~"},
      {fs_spec("[{name: a, m_probability: '0.9', u_probability: 0.1}]"),
       fs_spec("[{name: a, m_probability: 0.5}]"), "<missing>"},
      {fs_spec("[{name: a, weight: 1}]", "{match: 0.9, possible: 0.5, non_match: x}"),
       fs_spec("[{name: a, weight: 2}]", "{match: 0.85, possible: 0.5, non_match: 0.1}"),
       R"~({"fields_added":[],"fields_removed":[],"m_probability_changes":[],"max_composite_delta":0.0,)~"
       R"~("threshold_changes":[{"new_value":"0.8500","old_value":"0.9000","path":"scoring.thresholds.match"}],)~"
       R"~("u_probability_changes":[],"weight_changes":[{"new_value":"2.0000","old_value":"1.0000",)~"
       R"~("path":"scoring.fields.a.weight"}]})~"},
      // Thresholds are compared whenever both scorings have the key, even if only one uses
      // the strategy.
      {"decision: {scoring: {strategy: weighted, thresholds: {non_match: 0.00001}}}",
       fs_spec("[]", "{non_match: 12345.6}"),
       R"~({"fields_added":[],"fields_removed":[],"m_probability_changes":[],"max_composite_delta":0.0,)~"
       R"~("threshold_changes":[{"new_value":"12345.6000","old_value":"0.0000","path":"scoring.thresholds.non_match"}],)~"
       R"~("u_probability_changes":[],"weight_changes":[]})~"},
      // "method" plays no part; the strategy text is matched exactly.
      {"decision: {scoring: {method: fellegi_sunter, fields: [{name: a}]}}",
       "decision: {scoring: {strategy: Fellegi_Sunter, fields: [{name: b}]}}", "<missing>"},
      // A repeated old name repeats its comparison against the first fields bearing it.
      {fs_spec("[{name: a, weight: 1}, {name: a, weight: 7}]"), fs_spec("[{name: a, weight: 3}]"),
       R"~({"fields_added":[],"fields_removed":[],"m_probability_changes":[],"max_composite_delta":0.0,)~"
       R"~("threshold_changes":[],"u_probability_changes":[],"weight_changes":[{"new_value":"3.0000",)~"
       R"~("old_value":"1.0000","path":"scoring.fields.a.weight"},{"new_value":"3.0000","old_value":"1.0000",)~"
       R"~("path":"scoring.fields.a.weight"}]})~"},
  };
  for (const Row& r : rows) {
    const DiffResult d = diff_of(r.old_yaml, r.new_yaml);
    EXPECT_EQ(written(d, "fs_changes"), r.fs_changes) << r.old_yaml << " -> " << r.new_yaml;
  }
}

TEST(ComputeDiff, FellegiSunterAlsoReportedAsScoring) {
  const DiffResult d = diff_of(fs_spec("[]", "{match: 0.9}"), fs_spec("[]", "{match: 0.85}"));
  EXPECT_EQ(written(d, "scoring_changes"),
            R"~([{"new_value":"0.85","old_value":"0.9","path":"decision.scoring.thresholds.match"}])~");
  ASSERT_TRUE(d.fs_changes.has_value());
  EXPECT_EQ(d.summary, "1 scoring change(s); 1 Fellegi-Sunter change(s)");
}

TEST(ComputeDiff, ProbabilityFromIntegerIsWrittenAsFloat) {
  const Value tree = to_value(diff_of(fs_spec("[{name: f, m_probability: 1}]"),
                                     fs_spec("[{name: f, m_probability: 0}]")));
  const Value& written_change = tree.get("fs_changes")->get("m_probability_changes")->as_array()[0];
  EXPECT_EQ(written_change.get("old_value")->kind(), Value::Kind::kFloat);
  EXPECT_EQ(written_change.get("new_value")->kind(), Value::Kind::kFloat);
  EXPECT_EQ(tree.get("fs_changes")->get("max_composite_delta")->kind(), Value::Kind::kFloat);
}

}  // namespace
}  // namespace vintrel_core::commands::diff
