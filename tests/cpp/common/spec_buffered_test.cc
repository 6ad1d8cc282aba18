// Sections taken whole before they are read: sources (two written forms), match rules,
// decision.scoring (mapping or method text, with the Fellegi-Sunter records) and exclusions.
#include <string>
#include <vector>

#include "common/spec/spec_reader.h"
#include "spec_test_support.h"

namespace osmira_common::spec {
namespace {

using osmira_base::Value;
using testing::expect_failure;
using testing::FailureCase;
using testing::make_spec;
using testing::read_ok;
using testing::spec_with;
using testing::SpecParts;
using testing::with_extra;

constexpr const char* kSourcesFailure = "data did not match any variant of untagged enum SourcesFormat";
constexpr const char* kScoringFailure = "data did not match any variant of untagged enum ScoringFormat";

std::string sources(std::string value) { return spec_with(&SpecParts::sources, std::move(value)); }

std::vector<SourceSpec> read_sources(std::string value) { return read_ok(sources(std::move(value))).sources; }

TEST(SpecSources, MappingAndListForms) {
  auto one = read_sources("{crm: {adapter: postgres, name: other}}");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].name, "crm");
  EXPECT_EQ(one[0].adapter, AdapterType::kPostgres);

  auto sorted = read_sources("{b: {}, a: {}, B: {}}");
  ASSERT_EQ(sorted.size(), 3u);
  EXPECT_EQ(sorted[0].name, "B");
  EXPECT_EQ(sorted[1].name, "a");
  EXPECT_EQ(sorted[2].name, "b");
  EXPECT_TRUE(sorted[2].tags.empty());
  EXPECT_TRUE(sorted[2].attributes.empty());
  EXPECT_FALSE(sorted[2].schema.has_value());
  EXPECT_FALSE(sorted[2].reliability.has_value());

  auto list = read_sources("[{name: z}, {name: a}, {}, {name: z}]");
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].name, "z");
  EXPECT_EQ(list[1].name, "a");
  EXPECT_EQ(list[2].name, "");
  EXPECT_EQ(list[3].name, "z");

  EXPECT_TRUE(read_sources("{}").empty());
  EXPECT_TRUE(read_sources("[]").empty());

  auto twice = read_sources("{crm: {location: a, table: t}, crm: {location: b}}");
  ASSERT_EQ(twice.size(), 1u);
  EXPECT_EQ(twice[0].location, "b");
  EXPECT_FALSE(twice[0].table.has_value());

  EXPECT_EQ(read_sources("{'2024': {}}").at(0).name, "2024");

  // Positional declarations: values in declaration order, or integer keys selecting keys.
  auto positional = read_sources("[[crm, postgres], {0: crm, 1: postgres, 14: ignored}]");
  for (const SourceSpec& s : positional) {
    EXPECT_EQ(s.name, "crm");
    EXPECT_EQ(s.adapter, AdapterType::kPostgres);
  }
}

TEST(SpecSources, KeysAndParts) {
  const SourceSpec s = read_sources(
      "{crm: {adapter: ~, location: '42', schema: {email: {type: string, pii: true}, phone: {type: string},"
      " id: [int, true, false]}, sampling: {strategy: time_based}, tags: [t], attributes: {email: mail},"
      " temporal: {valid_from: start}, freshness: {max_age_hours: 36}, reliability: 1}}")[0];
  EXPECT_FALSE(s.adapter.has_value());
  EXPECT_EQ(s.location, "42");
  EXPECT_EQ(s.schema->at("email").type, "string");
  EXPECT_TRUE(s.schema->at("email").pii);
  EXPECT_FALSE(s.schema->at("phone").pii);
  EXPECT_TRUE(s.schema->at("id").pii);
  EXPECT_EQ(s.pii_fields(), (std::vector<std::string>{"email", "id"}));
  EXPECT_EQ(s.sampling->strategy, SamplingStrategy::kTimeBased);
  EXPECT_EQ(s.sampling->rate, 1.0);
  EXPECT_EQ(display_name(s.sampling->strategy), "TimeBased");
  EXPECT_EQ(s.attributes.at("email"), "mail");
  EXPECT_EQ(s.temporal->valid_from, "start");
  EXPECT_FALSE(s.temporal->valid_to.has_value());
  EXPECT_EQ(s.temporal->strategy, ir::TemporalStrategy::kLatestOnly);
  EXPECT_EQ(s.freshness->max_age, "36h");
  EXPECT_FALSE(s.freshness->warn_after.has_value());
  EXPECT_EQ(s.reliability, 1.0);

  EXPECT_FALSE(read_sources("{crm: {schema: ~}}")[0].schema.has_value());
  EXPECT_FALSE(read_sources("{crm: {schema: }}")[0].schema.has_value());
  EXPECT_EQ(read_sources("{crm: {freshness: {max_age: 2d, max_age_hours: 5}}}")[0].freshness->max_age, "2d");
  const auto f = read_sources("{crm: {freshness: {max_age_hours: 0, warn_after_hours: 7, warn_after: ~}}}")[0].freshness;
  EXPECT_EQ(f->max_age, "0h");
  EXPECT_EQ(f->warn_after, "7h");
  EXPECT_EQ(read_sources("{crm: {freshness: [1d, ~, 2h, 3]}}")[0].freshness->warn_after, "2h");
  EXPECT_EQ(read_sources("{crm: {temporal: [start, ~]}}")[0].temporal->valid_from, "start");
  EXPECT_EQ(read_sources("{crm: {temporal: {valid_from: s, strategy: {2: ~}}}}")[0].temporal->strategy,
            ir::TemporalStrategy::kBiTemporal);
}

TEST(SpecSources, Accessors) {
  struct Row {
    std::string declaration;
    std::string adapter, location, primary_key;
  };
  const std::vector<Row> rows = {
      {"{adapter: bigquery}", "bigquery", "unknown", "id"},
      {"{system: CrmOne}", "CrmOne", "unknown", "id"},
      {"{adapter: api, system: CrmOne}", "api", "unknown", "id"},
      {"{location: '', table: t, primary_key: pk, id: legacy}", "unknown", "", "pk"},
      {"{table: t, id: legacy}", "unknown", "t", "legacy"},
  };
  for (const Row& row : rows) {
    const SourceSpec s = read_sources("[" + row.declaration + "]")[0];
    EXPECT_EQ(s.resolved_adapter(), row.adapter) << row.declaration;
    EXPECT_EQ(s.resolved_location(), row.location) << row.declaration;
    EXPECT_EQ(s.resolved_primary_key(), row.primary_key) << row.declaration;
  }
  for (size_t i = 0; i < enum_names<AdapterType>().size(); ++i) {
    SourceSpec s;
    s.adapter = static_cast<AdapterType>(i);
    EXPECT_EQ(s.resolved_adapter(), enum_names<AdapterType>()[i]);
  }
}

TEST(SpecSources, EveryInnerFailureIsTheOneMessage) {
  const std::vector<std::string> rejected = {
      "",
      "~",
      "crm",
      "{crm: {name: 7}}",
      "{2024: {}}",
      "{crm: }",
      "{crm: ~}",
      "{crm: {adapter: Postgres}}",
      "{crm: {location: 42}}",
      "{crm: {tags: ~}}",
      "{crm: {name: ~}}",
      "{crm: {attributes: {email: 5}}}",
      "{crm: {reliability: '0.9'}}",
      "{crm: {schema: {email: string}}}",
      "{crm: {schema: {email: {pii: true}}}}",
      "{crm: {sampling: {rate: 0.5}}}",
      "{crm: {sampling: {strategy: Random}}}",
      "{crm: {temporal: {valid_from: start, strategy: ~}}}",
      "{crm: {temporal: [start]}}",
      "{crm: {freshness: {warn_after_hours: 1}}}",
      "{crm: {freshness: {}}}",
      "{crm: {freshness: {max_age_hours: -1}}}",
      "{crm: {freshness: {max_age_hours: 4294967296}}}",
      "{crm: {freshness: {max_age_hours: 1.5}}}",
      "{crm: {freshness: [1d, ~, 2h]}}",
      "{crm: {adapter: api, adapter: api}}",
      "[[a, b, c, d, e, f, g, h, i, j, k, l, m, n, o]]",
      "[7]",
  };
  for (const std::string& value : rejected) expect_failure({sources(value), kSourcesFailure, "@1:1"});
  // The root's position, when the root mapping does not start the text.
  expect_failure({"# sources below\n" + sources("~"), kSourcesFailure, "@2:1"});
  // Failures while the value is taken whole keep their own message and place.
  expect_failure({sources("{crm: {adapter: !pg x}}"),
                  "sources.crm.adapter: untagged and internally tagged enums do not support enum input",
                  "adapter: |!pg"});
  expect_failure({sources("{crm: *nowhere}"), "unknown anchor", "|*nowhere"});
}

std::string rules(std::string body) { return with_extra("rules:\n" + body); }

const std::string kKinds = "expected one of `exact`, `similarity`, `range`, `composite`, `ml`";

TEST(SpecRules, Kinds) {
  const IdentitySpec s = read_ok(rules(
      "  - {name: e, field: email, type: exact}\n"
      "  - {type: exact, name: '123', fields: [email, phone], weight: 2, options: {case_insensitive: true,"
      " normalizer: email}}\n"
      "  - {type: similarity, name: s, field: [n], algorithm: jaro_winkler, threshold: 0.9, locale: ~,"
      " options: {transliterate: true}, normalizer: name}\n"
      "  - {type: range, name: r, field: age, tolerance: 2}\n"
      "  - {type: composite, name: c, operator: {or: ~}, weight: 9, children: [{type: 0, name: x, field: y},"
      " {type: composite, name: inner, operator: and, children: []}]}\n"
      "  - {type: ml, name: m, model: mdl, features: [a, b], threshold: 1}\n"
      "  - [exact, email_match, email]\n"));
  ASSERT_EQ(s.rules.size(), 7u);
  const auto& e = std::get<ExactRule>(s.rules[0].rule);
  EXPECT_EQ(e.field, std::vector<std::string>{"email"});
  EXPECT_EQ(e.weight, 1.0);
  EXPECT_FALSE(e.options.has_value());
  const auto& e2 = std::get<ExactRule>(s.rules[1].rule);
  EXPECT_EQ(e2.name, "123");
  EXPECT_EQ(e2.field, (std::vector<std::string>{"email", "phone"}));
  EXPECT_EQ(e2.weight, 2.0);
  EXPECT_TRUE(e2.options->case_insensitive);
  EXPECT_FALSE(e2.options->normalize);
  EXPECT_EQ(e2.options->normalizer, "email");
  const auto& sim = std::get<SimilarityRule>(s.rules[2].rule);
  EXPECT_EQ(sim.algorithm, ir::SimilarityAlgorithm::kJaroWinkler);
  EXPECT_EQ(sim.threshold, 0.9);
  EXPECT_FALSE(sim.locale.has_value());
  EXPECT_TRUE(sim.options->transliterate);
  EXPECT_FALSE(sim.options->ignore_titles);
  EXPECT_EQ(sim.normalizer, "name");
  EXPECT_EQ(std::get<RangeRule>(s.rules[3].rule).tolerance, 2.0);
  const auto& c = std::get<CompositeRule>(s.rules[4].rule);
  EXPECT_EQ(c.op, ir::CompositeOperator::kOr);
  ASSERT_EQ(c.children.size(), 2u);
  EXPECT_EQ(c.children[0].name(), "x");
  EXPECT_TRUE(std::holds_alternative<ExactRule>(c.children[0].rule));
  EXPECT_TRUE(std::get<CompositeRule>(c.children[1].rule).children.empty());
  const auto& m = std::get<MlRule>(s.rules[5].rule);
  EXPECT_EQ(m.model, "mdl");
  EXPECT_EQ(m.features, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(m.weight, 1.0);
  const auto& p = std::get<ExactRule>(s.rules[6].rule);
  EXPECT_EQ(p.name, "email_match");
  EXPECT_EQ(p.field, std::vector<std::string>{"email"});

  EXPECT_FALSE(std::get<ExactRule>(read_ok(rules("  - {type: exact, name: a, field: b, options: ~}\n")).rules[0].rule)
                   .options.has_value());
  const IdentitySpec o = read_ok(rules("  - {type: exact, name: a, field: b, options: {}}\n"
                                       "  - [exact, a, b, 1, [true, true]]\n"
                                       "  - [similarity, s, f, levenshtein, 0.5, 2, en]\n"));
  EXPECT_FALSE(std::get<ExactRule>(o.rules[0].rule).options->case_insensitive);
  EXPECT_TRUE(std::get<ExactRule>(o.rules[1].rule).options->normalize);
  EXPECT_EQ(std::get<SimilarityRule>(o.rules[2].rule).locale, "en");
  EXPECT_EQ(std::get<SimilarityRule>(o.rules[2].rule).weight, 2.0);
}

TEST(SpecRules, Failures) {
  const std::string list = "\n  |- ";  // the "rules" list starts at its first "-"
  const std::vector<FailureCase> cases = {
      // Failures of the rule node itself and of its "type": the rule's own path.
      {rules("  - x\n"), "rules[0]: invalid type: string \"x\", expected internally tagged enum RuleSpec", "- |x"},
      {rules("  - ~\n"), "rules[0]: invalid type: unit value, expected internally tagged enum RuleSpec", "- |~"},
      {rules("  - !exact {name: a}\n"),
       "rules[0]: invalid type: enum, expected internally tagged enum RuleSpec", "- |!exact"},
      {rules("  - {name: a}\n"), "rules[0]: missing field `type`", "- |{"},
      {rules("  - []\n"), "rules[0]: missing field `type`", "- |["},
      {rules("  - {type: exact, type: exact}\n"), "rules[0]: duplicate field `type`", "- |{"},
      {rules("  - {name: a, field: b, type: exact}\n  - {type: fuzzy}\n"),
       "rules[1].type: unknown variant `fuzzy`, " + kKinds, "type: |fuzzy"},
      {rules("  - {type: Exact}\n"), "rules[0].type: unknown variant `Exact`, " + kKinds, "type: |Exact"},
      {rules("  - {type: 0}\n"), "rules[0].type: unknown variant `0`, " + kKinds, "type: |0"},
      {rules("  - {type: {a: b}}\n"), "rules[0].type: invalid type: map, expected variant identifier", "type: |{a"},
      {rules("  - [fuzzy, a]\n"), "rules[0][0]: unknown variant `fuzzy`, " + kKinds, "[|fuzzy"},
      {rules("  - {type: exact, name: !x a}\n"),
       "rules[0].name: untagged and internally tagged enums do not support enum input", "name: |!x"},
      // Failures of the variant's keys: the path and position of the "rules" list.
      {rules("  - {type: exact, name: 123, field: email}\n"),
       "rules: invalid type: integer `123`, expected a string", list},
      {rules("  - {type: exact, name: a, field: b}\n  - {type: similarity, name: s, field: f, algorithm: soundex}\n"),
       "rules: missing field `threshold`", list},
      {rules("  - {type: exact, field: []}\n"), "rules: fields array cannot be empty", list},
      {rules("  - {type: exact, name: a, field: 123}\n"),
       "rules: data did not match any variant of untagged enum FieldOrFields", list},
      {rules("  - {type: exact, name: a, field: [email, 1]}\n"),
       "rules: data did not match any variant of untagged enum FieldOrFields", list},
      {rules("  - {type: exact, name: a, field: ~}\n"),
       "rules: data did not match any variant of untagged enum FieldOrFields", list},
      {rules("  - {type: exact, name: a, field: email, fields: [phone]}\n"), "rules: duplicate field `field`", list},
      {rules("  - {type: exact, name: a, name: b}\n"), "rules: duplicate field `name`", list},
      {rules("  - {type: exact, name: a, field: b, weight: '2'}\n"),
       "rules: invalid type: string \"2\", expected f64", list},
      {rules("  - {type: exact, name: a, field: b, options: {case_insensitive: yes}}\n"),
       "rules: invalid type: string \"yes\", expected a boolean", list},
      {rules("  - {type: composite, name: c, operator: and}\n"), "rules: missing field `children`", list},
      {rules("  - {type: composite, name: c, operator: 1, children: []}\n"),
       "rules: invalid type: integer `1`, expected string or map", list},
      {rules("  - {type: composite, name: c, operator: AND, children: []}\n"),
       "rules: unknown variant `AND`, expected `and` or `or`", list},
      {rules("  - {type: composite, name: c, operator: {and: 1}, children: []}\n"),
       "rules: invalid type: integer `1`, expected unit", list},
      {rules("  - {type: composite, name: c, operator: {and: ~, or: ~}, children: []}\n"),
       "rules: invalid value: map, expected map with a single key", list},
      {rules("  - {type: composite, name: c, operator: {5: ~}, children: []}\n"),
       "rules: invalid value: integer `5`, expected variant index 0 <= i < 2", list},
      {rules("  - {type: composite, name: c, operator: or, children: [{name: x}]}\n"),
       "rules: missing field `type`", list},
      {rules("  - {type: composite, name: c, operator: or, children: [{type: 7}]}\n"),
       "rules: invalid value: integer `7`, expected variant index 0 <= i < 5", list},
      {rules("  - {type: composite, name: c, operator: or, children: [{type: true}]}\n"),
       "rules: invalid type: boolean `true`, expected variant identifier", list},
      {rules("  - {type: composite, name: c, operator: or, children: [{type: -1}]}\n"),
       "rules: invalid type: integer `-1`, expected variant identifier", list},
      {rules("  - {type: composite, name: c, operator: or, children: [7]}\n"),
       "rules: invalid type: integer `7`, expected internally tagged enum RuleSpec", list},
      {rules("  - {type: similarity, name: s, field: f, algorithm: Soundex, threshold: 1}\n"),
       "rules: unknown variant `Soundex`, expected one of `jaro_winkler`, `levenshtein`, `soundex`, `metaphone`, "
       "`cosine`, `haversine`",
       list},
      // Positional rules.
      {rules("  - [exact, email_match]\n"),
       "rules: invalid length 1, expected struct variant RuleSpec::Exact with 4 elements", list},
      {rules("  - [similarity, s, f, soundex, 0.5]\n"),
       "rules: invalid length 5, expected struct variant RuleSpec::Similarity with 8 elements", list},
      {rules("  - [similarity, s, f, soundex, 0.5, 1]\n"),
       "rules: invalid length 5, expected struct variant RuleSpec::Similarity with 8 elements", list},
      {rules("  - [exact, a, b, 1, ~, x]\n"), "rules: invalid length 5, expected 4 elements in sequence", list},
      {rules("  - [ml, m, model, [a]]\n"),
       "rules: invalid length 3, expected struct variant RuleSpec::Ml with 5 elements", list},
      {rules("  - [composite, c, or, [], x]\n"), "rules: invalid length 4, expected 3 elements in sequence", list},
  };
  for (const auto& c : cases) expect_failure(c);
}

TEST(SpecRules, CompositeNesting) {
  // Each composite takes two levels (its mapping and its children list) below the root mapping
  // and the rules list; the innermost rule's mapping is at level 2k + 3 for k composites.
  auto nested = [](int k) {
    std::string text;
    for (int i = 0; i < k; ++i) text += "{type: composite, name: c, operator: and, children: [";
    text += "{type: exact, name: leaf, field: f}";
    for (int i = 0; i < k; ++i) text += "]}";
    return rules("  - " + text + "\n");
  };
  const IdentitySpec s = read_ok(nested(62));
  const RuleSpec* r = &s.rules[0];
  int depth = 0;
  while (const auto* c = std::get_if<CompositeRule>(&r->rule)) {
    r = &c->children.at(0);
    ++depth;
  }
  EXPECT_EQ(depth, 62);
  EXPECT_EQ(r->name(), "leaf");
  expect_failure({nested(63), "recursion limit exceeded", "children: [|{type: exact"});
}

std::string scoring(std::string value) {
  return spec_with(&SpecParts::decision, "{thresholds: {match: 1}, scoring: " + std::move(value) + "}");
}

ScoringSpec read_scoring(std::string value) { return read_ok(scoring(std::move(value))).decision.scoring.value(); }

TEST(SpecScoring, Forms) {
  for (const std::string v : {"weighted_sum", "{method: weighted_sum}", "{}", "[weighted_sum, ~]", "'weighted_sum'"}) {
    const ScoringSpec s = read_scoring(v);
    EXPECT_EQ(s.method, ir::ScoringMethod::kWeightedSum) << v;
    EXPECT_FALSE(s.normalization || s.ml_ensemble || s.custom || s.strategy || s.fields || s.thresholds ||
                 s.training)
        << v;
  }
  EXPECT_FALSE(read_ok(scoring("~")).decision.scoring.has_value());
  EXPECT_FALSE(read_ok(scoring("")).decision.scoring.has_value());

  const ScoringSpec fs = read_scoring("{strategy: fellegi_sunter, method: ml_ensemble}");
  EXPECT_EQ(fs.method, ir::ScoringMethod::kMlEnsemble);
  EXPECT_EQ(fs.strategy, ScoringStrategy::kFellegiSunter);
  EXPECT_EQ(read_scoring("fellegi_sunter").method, ir::ScoringMethod::kFellegiSunter);

  const ScoringSpec ml = read_scoring("{method: ml_ensemble, ml_ensemble: {}, custom: {}, normalization: z}");
  EXPECT_TRUE(ml.ml_ensemble->coefficients.empty());
  EXPECT_EQ(ml.ml_ensemble->bias, 0.0);
  EXPECT_EQ(ml.custom->expression, "");
  EXPECT_EQ(ml.normalization, "z");
  const ScoringSpec co = read_scoring("{ml_ensemble: {coefficients: {a: 1, b: 0.5, a: 2}, bias: -1}, custom: [x + y]}");
  EXPECT_EQ(co.ml_ensemble->coefficients, (std::map<std::string, double>{{"a", 2.0}, {"b", 0.5}}));
  EXPECT_EQ(co.ml_ensemble->bias, -1.0);
  EXPECT_EQ(co.custom->expression, "x + y");
}

TEST(SpecScoring, FellegiSunter) {
  const ScoringSpec s = read_scoring(
      "{strategy: fellegi_sunter, fields: [{name: email, comparator: exact, m_probability: 1, u_probability: 0},"
      " [n, {2: ~}, 2, 0.9, 0.1, name]], thresholds: {match: 5, possible: 1, non_match: -2},"
      " training: {method: em}}");
  ASSERT_EQ(s.fields->size(), 2u);
  const FsFieldSpec& f = s.fields->at(0);
  EXPECT_EQ(f.comparator, FsComparator::kExact);
  EXPECT_EQ(f.weight, 1.0);
  EXPECT_EQ(f.m_probability, 1.0);
  EXPECT_EQ(f.u_probability, 0.0);
  EXPECT_FALSE(f.normalizer.has_value());
  EXPECT_EQ(s.fields->at(1).comparator, FsComparator::kLevenshtein);
  EXPECT_EQ(s.fields->at(1).weight, 2.0);
  EXPECT_EQ(s.fields->at(1).normalizer, "name");
  EXPECT_EQ(s.thresholds->non_match, -2.0);
  EXPECT_FALSE(s.thresholds->merge.has_value());
  const FsTrainingConfig& t = *s.training;
  EXPECT_EQ(t.method, "em");
  EXPECT_EQ(t.max_iterations, 25u);
  EXPECT_EQ(t.convergence_threshold, 0.001);
  EXPECT_FALSE(t.estimate_u.has_value());
  EXPECT_EQ(t.max_random_pairs, 1000000u);
  EXPECT_EQ(t.prior_weight, 0.7);

  const FsTrainingConfig d = *read_scoring("{training: {}}").training;
  EXPECT_EQ(d.method, "manual");
  EXPECT_EQ(read_scoring("{training: {estimate_u: random_sampling}}").training->estimate_u, "random_sampling");
  EXPECT_EQ(read_scoring("{training: [em, 3, 0.5, ~, 10, 1]}").training->max_random_pairs, 10u);
  EXPECT_EQ(read_scoring("{fields: [], thresholds: [1, 2, 3]}").fields->size(), 0u);
  EXPECT_EQ(read_scoring("{fields: [[n, exact, 1, 0.9, 0.1]]}").fields->at(0).u_probability, 0.1);
}

TEST(SpecScoring, Failures) {
  const std::string at = "decision: |{";  // failures carry the decision mapping's place
  const std::vector<FailureCase> cases = {
      {scoring("Custom"),
       "decision: unknown variant `Custom`, expected one of `weighted_sum`, `ml_ensemble`, `custom`, `fellegi_sunter`",
       at},
      {scoring("''"),
       "decision: unknown variant ``, expected one of `weighted_sum`, `ml_ensemble`, `custom`, `fellegi_sunter`", at},
      {scoring("5"), std::string("decision: ") + kScoringFailure, at},
      {scoring("true"), std::string("decision: ") + kScoringFailure, at},
      {scoring("{method: Custom}"), std::string("decision: ") + kScoringFailure, at},
      {scoring("{method: custom, method: custom}"), std::string("decision: ") + kScoringFailure, at},
      {scoring("[weighted_sum]"), std::string("decision: ") + kScoringFailure, at},
      {scoring("[a, b, c, d, e, f, g, h, i]"), std::string("decision: ") + kScoringFailure, at},
      {scoring("{fields: [{name: e, comparator: exact, u_probability: 0.1}]}"),
       std::string("decision: ") + kScoringFailure, at},
      {scoring("{thresholds: {match: 1}}"), std::string("decision: ") + kScoringFailure, at},
      {scoring("{fields: [{name: e, comparator: Exact, m_probability: 1, u_probability: 0}]}"),
       std::string("decision: ") + kScoringFailure, at},
      {scoring("{fields: [{name: e, comparator: 2, m_probability: 1, u_probability: 0}]}"),
       std::string("decision: ") + kScoringFailure, at},
      {scoring("{fields: [[n, exact]]}"), std::string("decision: ") + kScoringFailure, at},
      {scoring("{training: {max_iterations: -1}}"), std::string("decision: ") + kScoringFailure, at},
      {scoring("{training: {max_iterations: 2.5}}"), std::string("decision: ") + kScoringFailure, at},
      {scoring("{training: {estimate_u: true}}"), std::string("decision: ") + kScoringFailure, at},
      {scoring("{strategy: Fellegi_Sunter}"), std::string("decision: ") + kScoringFailure, at},
      {scoring("{strategy: {1: ~}}"), std::string("decision: ") + kScoringFailure, at},
      {scoring("{ml_ensemble: {coefficients: {1: 2}}}"), std::string("decision: ") + kScoringFailure, at},
      // Failures while the value is taken keep their own place.
      {scoring("{method: !custom x}"),
       "decision.scoring.method: untagged and internally tagged enums do not support enum input", "method: |!custom"},
  };
  for (const auto& c : cases) expect_failure(c);

  // A block decision mapping is placed at its first key.
  expect_failure({spec_with(&SpecParts::decision, "\n  thresholds: {match: 1}\n  scoring: Custom"),
                  "decision: unknown variant `Custom`, expected one of `weighted_sum`, `ml_ensemble`, `custom`, "
                  "`fellegi_sunter`",
                  "  |thresholds"});
}

std::string exclusions(std::string body) { return with_extra("exclusions:\n" + body); }

TEST(SpecExclusions, Forms) {
  const IdentitySpec s = read_ok(exclusions(
      "  - {type: cross_tenant}\n"
      "  - {type: cross_tenant, enabled: true}\n"
      "  - {type: field_value, field: status, operator: eq, value: 1}\n"
      "  - {type: field_value, field: status, operator: eq, value: '1'}\n"
      "  - {type: field_value, field: status, operator: eq, value: ~}\n"
      "  - [field_value, status, eq, closed]\n"
      "  - {type: field_value, 0: status, 1: eq, 2: closed, 5: skipped}\n"
      "  - {type: explicit_pair, source: crm, left_id_field: a1, right_id_field: b2}\n"
      "  - [cross_tenant]\n"
      "  - {type: field_value, field: f, operator: eq, value: {b: .inf, a: 1, a: 2, c: [1, '1', ~]}}\n"));
  const auto& x = *s.exclusions;
  ASSERT_EQ(x.size(), 10u);
  EXPECT_FALSE(std::get<CrossTenantExclusion>(x[0].exclusion).enabled);
  EXPECT_TRUE(std::get<CrossTenantExclusion>(x[1].exclusion).enabled);
  EXPECT_EQ(std::get<FieldValueExclusion>(x[2].exclusion).value, Value(1));
  EXPECT_EQ(std::get<FieldValueExclusion>(x[3].exclusion).value, Value("1"));
  EXPECT_TRUE(std::get<FieldValueExclusion>(x[4].exclusion).value.is_null());
  for (size_t i : {5u, 6u}) {
    const auto& fv = std::get<FieldValueExclusion>(x[i].exclusion);
    EXPECT_EQ(fv.field, "status");
    EXPECT_EQ(fv.op, "eq");
    EXPECT_EQ(fv.value, Value("closed"));
  }
  const auto& pair = std::get<ExplicitPairExclusion>(x[7].exclusion);
  EXPECT_EQ(pair.left_id_field, "a1");
  EXPECT_EQ(pair.right_id_field, "b2");
  EXPECT_FALSE(std::get<CrossTenantExclusion>(x[8].exclusion).enabled);
  const Value expected(Value::Object{
      {"a", Value(2)}, {"b", Value()}, {"c", Value(Value::Array{Value(1), Value("1"), Value()})}});
  EXPECT_EQ(std::get<FieldValueExclusion>(x[9].exclusion).value, expected);
}

TEST(SpecExclusions, Failures) {
  const std::string list = "\n  |- ";
  const std::string kinds = "expected one of `field_value`, `explicit_pair`, `cross_tenant`";
  const std::vector<FailureCase> cases = {
      // Stage one: the element's own path, or the "type" value's.
      {exclusions("  - {field: a}\n"), "exclusions[0]: missing field `type`", "- |{"},
      {exclusions("  - []\n"), "exclusions[0]: missing field `type`", "- |["},
      {exclusions("  - x\n"), "exclusions[0]: invalid type: string \"x\", expected internally tagged enum ExclusionSpec",
       "- |x"},
      {exclusions("  - !x {type: cross_tenant}\n"),
       "exclusions[0]: invalid type: enum, expected internally tagged enum ExclusionSpec", "- |!x"},
      {exclusions("  - {type: 1}\n"), "exclusions[0].type: unknown variant `1`, " + kinds, "type: |1"},
      {exclusions("  - {type: [a]}\n"), "exclusions[0].type: invalid type: sequence, expected variant identifier",
       "type: |["},
      {exclusions("  - {type: cross_tenant, type: cross_tenant}\n"), "exclusions[0]: duplicate field `type`", "- |{"},
      {exclusions("  - [bogus, a]\n"), "exclusions[0][0]: unknown variant `bogus`, " + kinds, "[|bogus"},
      {exclusions("  - {type: cross_tenant, junk: !tag x}\n"),
       "exclusions[0].junk: untagged and internally tagged enums do not support enum input", "junk: |!tag"},
      // Stage two: the path and position of the "exclusions" list.
      {exclusions("  - {type: cross_tenant, enabled: 'true'}\n"),
       "exclusions: invalid type: string \"true\", expected a boolean", list},
      {exclusions("  - {type: field_value, field: 123, operator: eq, value: x}\n"),
       "exclusions: invalid type: integer `123`, expected a string", list},
      {exclusions("  - {type: field_value, field: status, operator: eq}\n"), "exclusions: missing field `value`", list},
      {exclusions("  - {type: field_value}\n"), "exclusions: missing field `field`", list},
      {exclusions("  - {type: explicit_pair, source: crm}\n"), "exclusions: missing field `left_id_field`", list},
      {exclusions("  - [field_value, status, eq]\n"),
       "exclusions: invalid length 2, expected struct variant ExclusionSpec::FieldValue with 3 elements", list},
      {exclusions("  - [explicit_pair, a]\n"),
       "exclusions: invalid length 1, expected struct variant ExclusionSpec::ExplicitPair with 3 elements", list},
      {exclusions("  - [cross_tenant, true, false]\n"), "exclusions: invalid length 2, expected 1 element in sequence",
       list},
      {exclusions("  - [field_value, a, b, c, d]\n"), "exclusions: invalid length 4, expected 3 elements in sequence",
       list},
      {exclusions("  - {type: field_value, -1: a}\n"), "exclusions: invalid type: integer `-1`, expected field identifier",
       list},
      {exclusions("  - {type: field_value, true: a}\n"),
       "exclusions: invalid type: boolean `true`, expected field identifier", list},
      {exclusions("  - {type: field_value, field: a, field: b}\n"), "exclusions: duplicate field `field`", list},
      {exclusions("  - {type: field_value, field: f, operator: eq, value: {1: x}}\n"),
       "exclusions: invalid type: integer `1`, expected a string key", list},
      {exclusions("  - {type: field_value, field: f, operator: eq, value: {a: x, 2: y}}\n"),
       "exclusions: invalid type: integer `2`, expected a string", list},
  };
  for (const auto& c : cases) expect_failure(c);
}

}  // namespace
}  // namespace osmira_common::spec
